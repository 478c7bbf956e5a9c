#include "PendingSet.h"

#include <algorithm>

namespace {

bool SameVariable(const TVarChange &change, const TVarEntry &slot) {
    return slot.Title == change.Title && slot.Type == change.Type;
}

} // namespace

void TPendingSet::Add(const TVarChange &change, const TVarEntry &shown) {
    const auto same = std::find_if(FItems.begin(), FItems.end(), [&](const TItem &item) {
        return item.Change.Index == change.Index && item.Change.Title == change.Title &&
               item.Change.Type == change.Type;
    });
    if (same == FItems.end()) {
        FItems.push_back({change, shown, Applied(change, shown)});
        return;
    }
    same->Change = change;
    same->After = Applied(change, same->Shown);
    // Back to what it was: nothing left to change.
    if (same->After.Value == same->Shown.Value && same->After.Status == same->Shown.Status)
        FItems.erase(same);
}

void TPendingSet::Remove(std::size_t index) {
    if (index < FItems.size())
        FItems.erase(FItems.begin() + std::ptrdiff_t(index));
}

std::vector<std::size_t> TPendingSet::ChangedSince(const TVarTable &vars,
                                                   std::int32_t count) const {
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < FItems.size(); ++i) {
        const TItem &item = FItems[i];
        const int index = item.Change.Index;
        if (index < 0 || index >= count || !SameVariable(item.Change, vars[std::size_t(index)]) ||
            vars[std::size_t(index)].Value != item.Shown.Value ||
            vars[std::size_t(index)].Status != item.Shown.Status)
            changed.push_back(i);
    }
    return changed;
}

std::vector<TVarChange> TPendingSet::Changes(const TVarTable &vars, std::int32_t count) const {
    std::vector<TVarChange> changes;
    for (const TItem &item : FItems) {
        TVarChange change = item.Change;
        const int index = change.Index;
        change.Requires = true;
        if (index >= 0 && index < count && SameVariable(change, vars[std::size_t(index)])) {
            change.RequiredValue = vars[std::size_t(index)].Value;
            change.RequiredStatus = vars[std::size_t(index)].Status;
        } else {
            change.RequiredValue = item.Shown.Value;
            change.RequiredStatus = item.Shown.Status;
        }
        changes.push_back(change);
    }
    return changes;
}

std::vector<TVarEntry> TPendingSet::Shown() const {
    std::vector<TVarEntry> shown;
    for (const TItem &item : FItems)
        shown.push_back(item.Shown);
    return shown;
}
