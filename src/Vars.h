#pragma once

#include <array>
#include <cstdint>
#include <string>

// One variable of the project file.
struct TVarEntry {
    std::string Title;
    std::int32_t Type = 0;
    std::int32_t Status = 0;
    std::string Value;
};

enum TVarType : std::int32_t {
    vtBoolean = 0,
    vtString = 1,
    vtInteger = 2,
    vtDouble = 3,
    vtDate = 4,
    vtAction = 5,
};

enum TVarStatus : std::int32_t {
    vsIdle = 0,
    vsChanged = 1,
    vsIdle2 = 2,
};

constexpr int MaxVars = 256;
using TVarTable = std::array<TVarEntry, MaxVars>;

// The one change a user decided on: which variable it was meant for (by position, title and
// type as shown then), and what to set. A value change marks the variable changed unless the
// file holds vsIdle2 for it; an action's activation or cancellation sets Status alone.
struct TVarChange {
    int Index = 0;
    std::string Title;
    std::int32_t Type = 0;
    bool SetsValue = false;
    std::string Value;
    std::int32_t Status = vsIdle;
    // An undo, which is made only while the variable still holds what the change it undoes
    // wrote.
    bool Undo = false;
    // Made only while the variable holds RequiredValue (a value change) or RequiredStatus (an
    // action's): over what the user saw, never over what the expert wrote since.
    bool Requires = false;
    std::string RequiredValue;
    std::int32_t RequiredStatus = vsIdle;
};

// What a change makes of a variable: a value change marks it changed unless its status is
// vsIdle2; an action's activation or cancellation sets the status alone.
inline TVarEntry Applied(const TVarChange &change, const TVarEntry &before) {
    TVarEntry after = before;
    if (change.SetsValue) {
        after.Value = change.Value;
        if (after.Status != vsIdle2)
            after.Status = vsChanged;
    } else {
        after.Status = change.Status;
    }
    return after;
}
