#pragma once

#include "Vars.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Changes gathered to be saved together: each as the user confirmed it, with its variable as it
// stood then. A later change of the same variable takes the place of the earlier one.
class TPendingSet {
public:
    struct TItem {
        TVarChange Change;
        TVarEntry Shown; // the variable when the first change of it was gathered
        TVarEntry After; // what the change makes of it
    };

    void Add(const TVarChange &change, const TVarEntry &shown);
    void Remove(std::size_t index);
    void Clear() { FItems.clear(); }
    bool Empty() const { return FItems.empty(); }
    const std::vector<TItem> &Items() const { return FItems; }

    // The items whose variable no longer is what it was when gathered, in the table as it stands:
    // another value or status (the expert changed it since), or gone from its place.
    std::vector<std::size_t> ChangedSince(const TVarTable &vars, std::int32_t count) const;
    // The changes to save as one set, each only over what the table holds now for its variable
    // (what the user was shown last), and the variables as shown.
    std::vector<TVarChange> Changes(const TVarTable &vars, std::int32_t count) const;
    std::vector<TVarEntry> Shown() const;

private:
    std::vector<TItem> FItems;
};
