// The profile (INI) text rules: how the Windows profile API reads a file, and how a change is
// spliced into its bytes so that the API reads back what was meant. docs/profile-files.md writes
// the rules out.
//
// The object keeps the bytes and indexes them once: sections and keys are views into the bytes,
// hashed and compared without regard to ASCII letter case. Changes are held beside the index;
// Build() splices them into the bytes, so every byte they do not change stays as it was.
#include "IniText.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t npos = std::string::npos;
constexpr std::string_view Utf8Bom = "\xEF\xBB\xBF";

// The bytes the API trims from lines, names and values: 0x09-0x0D, 0x20 and 0x1A.
constexpr bool IsBlank(char c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x1A;
}
constexpr bool IsLineBreak(char c) {
    return c == '\r' || c == '\n';
}
constexpr char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

std::string_view Trim(std::string_view s) {
    std::size_t begin = 0;
    std::size_t end = s.size();
    while (begin < end && IsBlank(s[begin]))
        ++begin;
    while (end > begin && IsBlank(s[end - 1]))
        --end;
    return s.substr(begin, end - begin);
}

// A value of two or more characters between the same quote, " or ', reads without that pair.
bool IsQuoted(std::string_view value) {
    return value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
           value.back() == value.front();
}
std::string_view Unquote(std::string_view value) {
    return IsQuoted(value) ? value.substr(1, value.size() - 2) : value;
}

// The text to write after '=' so that the API reads exactly the value: a value the API would
// trim or unquote is put between double quotes, whose pair the API then removes.
void AppendEncodedValue(std::string &out, std::string_view value) {
    const bool quote =
        !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) || IsQuoted(value));
    if (quote)
        out += '"';
    out += value;
    if (quote)
        out += '"';
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    if (a == b)
        return true; // names are mostly asked for as the file spells them: the cheap test first
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    }
    return true;
}

// The eight bytes of a word with the ASCII capitals lowered, all at once: a byte whose top bit is
// clear and whose low seven bits are 'A'..'Z' gets 0x20 added, as LowerAscii does byte by byte.
constexpr std::uint64_t LowerAsciiWord(std::uint64_t word) {
    constexpr std::uint64_t ones = 0x0101010101010101ull;
    const std::uint64_t low7 = word & (0x7F * ones);
    const std::uint64_t atLeastA = low7 + (0x80 - 'A') * ones;   // top bit set from 'A' on
    const std::uint64_t aboveZ = low7 + (0x80 - 'Z' - 1) * ones; // top bit set past 'Z'
    const std::uint64_t capital = atLeastA & ~aboveZ & ~word & (0x80 * ones);
    return word | (capital >> 2);
}

// A hash that ignores ASCII letter case: the lowered bytes eight at a time (each name is hashed
// on every look-up, so not byte by byte), then mixed so that the low bits, which pick the slot,
// depend on every byte.
std::uint32_t HashIgnoringAsciiCase(std::string_view s, std::uint64_t seed) {
    std::uint64_t h = (14695981039346656037ull ^ seed) + s.size();
    const auto add = [&h](std::uint64_t word) {
        h = (h ^ LowerAsciiWord(word)) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    };
    std::size_t at = 0;
    for (; at + 8 <= s.size(); at += 8) {
        std::uint64_t word;
        std::memcpy(&word, s.data() + at, 8);
        add(word);
    }
    if (at < s.size()) {
        std::uint64_t word = 0;
        std::memcpy(&word, s.data() + at, s.size() - at);
        add(word);
    }
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    h ^= h >> 32;
    return static_cast<std::uint32_t>(h);
}

// An open-addressing hash index of items kept elsewhere (sections or keys, by position): one
// array and no nodes, so indexing a thousand keys costs one allocation.
class FlatIndex {
public:
    static constexpr std::uint32_t None = UINT32_MAX;

    void Reset(std::size_t expected) {
        std::size_t capacity = 16;
        while (4 * expected > 3 * capacity)
            capacity *= 2;
        FSlots.assign(capacity, Slot{});
        FCount = 0;
    }
    // The item with this hash that matches, or None.
    template <class Matches> std::uint32_t Find(std::uint32_t hash, Matches matches) const {
        if (FSlots.empty())
            return None;
        const std::size_t mask = FSlots.size() - 1;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            const Slot &slot = FSlots[i];
            if (slot.item == 0)
                return None;
            if (slot.hash == hash && matches(slot.item - 1))
                return slot.item - 1;
        }
    }
    // Adds the item unless one with this hash matches; returns the item found or added.
    template <class Matches>
    std::uint32_t Insert(std::uint32_t hash, std::uint32_t item, Matches matches) {
        if (4 * (FCount + 1) > 3 * FSlots.size())
            Grow();
        const std::size_t mask = FSlots.size() - 1;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            Slot &slot = FSlots[i];
            if (slot.item == 0) {
                slot = Slot{hash, item + 1};
                ++FCount;
                return item;
            }
            if (slot.hash == hash && matches(slot.item - 1))
                return slot.item - 1;
        }
    }

private:
    struct Slot {
        std::uint32_t hash = 0;
        std::uint32_t item = 0; // the position + 1; 0 for an empty slot
    };
    void Grow() {
        const std::vector<Slot> old =
            std::exchange(FSlots, std::vector<Slot>(std::max<std::size_t>(16, 2 * FSlots.size())));
        const std::size_t mask = FSlots.size() - 1;
        for (const Slot &slot : old) {
            if (slot.item == 0)
                continue;
            std::size_t i = slot.hash & mask;
            while (FSlots[i].item != 0)
                i = (i + 1) & mask;
            FSlots[i] = slot;
        }
    }

    std::vector<Slot> FSlots; // a power of two in size, at most three quarters full
    std::size_t FCount = 0;
};

} // namespace

struct TIniText::Data {
    // The first section of each name, in file order; sections[0] is "", the lines before the
    // first header (it exists even when there are none).
    struct Section {
        std::string_view name;
        // Where lines for new keys go: the end of the section's last non-blank line (its header
        // when it has none), before that line's line break; npos for an empty section "", whose
        // new keys go to the start of the content.
        std::size_t insertAt = npos;
        bool isNew = false;               // added by a write: goes to the end of the file
        std::vector<std::uint32_t> added; // entries added by writes, in order
    };
    // The first key of a name in a section (later ones are invisible, as to the API).
    struct Entry {
        std::string_view key;       // the spelling in the file, or as first written
        std::size_t valueBegin = 0; // the value's bytes in the snapshot: after '=' and its blanks
        std::size_t valueEnd = 0;   // up to the line's trailing blanks
        std::unique_ptr<std::string> written; // a held write that differs from the original
        std::uint32_t section = 0;
        bool isNew = false;
    };

    std::string snapshot;
    std::size_t contentBegin = 0;        // after a UTF-8 BOM
    std::string_view lineBreak = "\r\n"; // the file's first line break
    std::vector<Section> sections;
    FlatIndex sectionIndex;
    std::vector<Entry> entries;
    FlatIndex entryIndex;
    std::deque<std::string> addedNames; // storage for the names of sections and keys written
    std::size_t changes = 0;            // held writes that change the content

    void Parse();
    static std::uint32_t SectionHash(std::string_view name) {
        return HashIgnoringAsciiCase(name, 0);
    }
    static std::uint32_t EntryHash(std::uint32_t section, std::string_view key) {
        return HashIgnoringAsciiCase(key, (section + 1) * 0x9E3779B97F4A7C15ull);
    }
    // Adds the section or key unless it is there; returns its position.
    std::uint32_t InsertSection(std::string_view name, std::uint32_t position) {
        return sectionIndex.Insert(SectionHash(name), position, [&](std::uint32_t i) {
            return EqualsIgnoringAsciiCase(sections[i].name, name);
        });
    }
    std::uint32_t InsertEntry(std::uint32_t section, std::string_view key, std::uint32_t position) {
        return entryIndex.Insert(EntryHash(section, key), position, [&](std::uint32_t i) {
            return entries[i].section == section && EqualsIgnoringAsciiCase(entries[i].key, key);
        });
    }
    std::uint32_t FindSection(std::string_view name) const {
        return sectionIndex.Find(SectionHash(name), [&](std::uint32_t i) {
            return EqualsIgnoringAsciiCase(sections[i].name, name);
        });
    }
    std::uint32_t FindEntry(std::uint32_t section, std::string_view key) const {
        return entryIndex.Find(EntryHash(section, key), [&](std::uint32_t i) {
            return entries[i].section == section && EqualsIgnoringAsciiCase(entries[i].key, key);
        });
    }
    const Entry *Find(std::string_view section, std::string_view key) const;
    // The value the snapshot gives the key, and the value it reads now (with a held write).
    std::string_view Original(const Entry &entry) const {
        return Unquote(
            std::string_view(snapshot).substr(entry.valueBegin, entry.valueEnd - entry.valueBegin));
    }
    std::string_view Value(const Entry &entry) const {
        return entry.written ? std::string_view(*entry.written) : Original(entry);
    }
    std::string Build() const;
    void AppendLine(std::string &out, const Entry &entry) const;
};

void TIniText::Data::Parse() {
    const std::string_view s = snapshot;
    const auto keys = std::size_t(std::count(s.begin(), s.end(), '=')); // at least one a key
    const auto headers = std::size_t(std::count(s.begin(), s.end(), '['));
    sections.clear();
    sections.reserve(headers + 1);
    sectionIndex.Reset(headers + 1);
    entries.clear();
    entries.reserve(keys);
    entryIndex.Reset(keys);
    addedNames.clear();
    changes = 0;

    contentBegin = s.starts_with(Utf8Bom) ? Utf8Bom.size() : 0;
    lineBreak = "\r\n";
    if (const std::size_t at = s.find_first_of("\r\n", contentBegin); at != npos) {
        if (s[at] == '\n')
            lineBreak = "\n";
        else if (at + 1 < s.size() && s[at + 1] == '\n')
            lineBreak = "\r\n";
        else
            lineBreak = "\r";
    }

    sections.push_back(Section{});
    InsertSection(std::string_view(), 0);

    constexpr std::uint32_t Ignored = FlatIndex::None; // inside a later section of a seen name
    std::uint32_t current = 0;
    // Line ends are found with memchr, the next CR and the next LF apart: each is looked for
    // again only once the scan has passed it, so a file with one kind of line break is searched
    // once for the other.
    std::size_t nextCr = s.find('\r', contentBegin);
    std::size_t nextLf = s.find('\n', contentBegin);
    std::size_t pos = contentBegin;
    while (pos < s.size()) {
        const std::size_t lineBegin = pos;
        if (nextCr < pos)
            nextCr = s.find('\r', pos);
        if (nextLf < pos)
            nextLf = s.find('\n', pos);
        pos = std::min({nextCr, nextLf, s.size()});
        const std::size_t lineEnd = pos;
        while (pos < s.size() && IsLineBreak(s[pos]))
            ++pos;

        const std::string_view raw = s.substr(lineBegin, lineEnd - lineBegin);
        const std::string_view line = Trim(raw);
        if (line.empty())
            continue;
        if (line.front() == '[') {
            if (const std::size_t close = line.rfind(']'); close != npos) {
                const std::string_view name = Trim(line.substr(1, close - 1));
                const auto position = static_cast<std::uint32_t>(sections.size());
                if (InsertSection(name, position) == position) {
                    current = position;
                    sections.push_back(Section{name, lineEnd, false, {}});
                } else {
                    current = Ignored;
                }
                continue;
            }
        }
        if (current == Ignored)
            continue;
        sections[current].insertAt = lineEnd;

        const std::size_t equals = raw.find('=');
        if (equals == npos)
            continue; // kept, but reads as missing
        const std::string_view key = Trim(raw.substr(0, equals));
        std::size_t valueBegin = lineBegin + equals + 1;
        while (valueBegin < lineEnd && IsBlank(s[valueBegin]))
            ++valueBegin;
        std::size_t valueEnd = lineEnd;
        while (valueEnd > valueBegin && IsBlank(s[valueEnd - 1]))
            --valueEnd;
        const auto position = static_cast<std::uint32_t>(entries.size());
        if (InsertEntry(current, key, position) == position) {
            entries.push_back(Entry{key, valueBegin, valueEnd, nullptr, current, false});
        }
    }
}

const TIniText::Data::Entry *TIniText::Data::Find(std::string_view section,
                                                  std::string_view key) const {
    const std::string_view keyName = Trim(key);
    if (keyName.empty())
        return nullptr;
    const std::uint32_t sectionPosition = FindSection(Trim(section));
    if (sectionPosition == FlatIndex::None)
        return nullptr;
    const std::uint32_t entryPosition = FindEntry(sectionPosition, keyName);
    return entryPosition == FlatIndex::None ? nullptr : &entries[entryPosition];
}

void TIniText::Data::AppendLine(std::string &out, const Entry &entry) const {
    out += entry.key;
    out += '=';
    AppendEncodedValue(out, Value(entry));
}

// The snapshot with the held writes spliced in.
std::string TIniText::Data::Build() const {
    enum Kind { ReplaceValue, AddToSection, AddSections };
    struct Edit {
        std::size_t begin;
        std::size_t end;
        Kind kind;
        std::size_t index; // entry or section
    };
    std::vector<Edit> edits;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry &entry = entries[i];
        if (!entry.isNew && entry.written)
            edits.push_back(Edit{entry.valueBegin, entry.valueEnd, ReplaceValue, i});
    }
    bool newSections = false;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const Section &section = sections[i];
        newSections = newSections || section.isNew;
        if (!section.isNew && !section.added.empty()) {
            const std::size_t at = section.insertAt == npos ? contentBegin : section.insertAt;
            edits.push_back(Edit{at, at, AddToSection, i});
        }
    }
    if (newSections)
        edits.push_back(Edit{snapshot.size(), snapshot.size(), AddSections, 0});
    std::stable_sort(edits.begin(), edits.end(), [](const Edit &a, const Edit &b) {
        return a.begin != b.begin ? a.begin < b.begin : a.kind < b.kind;
    });

    std::string out;
    out.reserve(snapshot.size() + 256);
    std::size_t copied = 0;
    for (const Edit &edit : edits) {
        out.append(snapshot, copied, edit.begin - copied);
        copied = edit.end;
        switch (edit.kind) {
        case ReplaceValue:
            AppendEncodedValue(out, *entries[edit.index].written);
            break;
        case AddToSection: {
            const Section &section = sections[edit.index];
            for (const std::uint32_t entry : section.added) {
                if (section.insertAt != npos)
                    out += lineBreak; // after the section's last line, before its line break
                AppendLine(out, entries[entry]);
                if (section.insertAt == npos)
                    out += lineBreak; // at the start, before the content
            }
            break;
        }
        case AddSections:
            if (snapshot.size() > contentBegin && !IsLineBreak(snapshot.back()))
                out += lineBreak;
            for (const Section &section : sections) {
                if (!section.isNew)
                    continue;
                out += '[';
                out += section.name;
                out += ']';
                out += lineBreak;
                for (const std::uint32_t entry : section.added) {
                    AppendLine(out, entries[entry]);
                    out += lineBreak;
                }
            }
            break;
        }
    }
    out.append(snapshot, copied);
    return out;
}

TIniText::TIniText(std::string bytes) : d(std::make_unique<Data>()) {
    Reset(std::move(bytes));
}

TIniText::~TIniText() = default;

void TIniText::Reset(std::string bytes) {
    d->snapshot = std::move(bytes);
    d->Parse();
}

const std::string &TIniText::Bytes() const {
    return d->snapshot;
}

std::optional<std::string_view> TIniText::Lookup(std::string_view section,
                                                 std::string_view key) const {
    const Data::Entry *entry = d->Find(section, key);
    if (!entry)
        return std::nullopt;
    return d->Value(*entry);
}

std::size_t TIniText::KeyCount() const {
    return d->entries.size();
}

bool TIniText::EndsWithLineBreak() const {
    return !d->snapshot.empty() && IsLineBreak(d->snapshot.back());
}

const char *TIniText::Set(std::string_view section, std::string_view key, std::string_view value) {
    constexpr std::string_view forbidden("\r\n\0", 3);
    if (section.find_first_of(forbidden) != npos)
        return "the section name holds a line break or NUL";
    if (key.find_first_of(forbidden) != npos)
        return "the key holds a line break or NUL";
    if (value.find_first_of(forbidden) != npos) {
        // Putting back what the file holds writes nothing: a save that rewrites every key must
        // not fail on a NUL that the expert left in another key.
        const Data::Entry *entry = d->Find(section, key);
        if (!entry || entry->isNew || d->Original(*entry) != value)
            return "the value holds a line break or NUL";
    }
    const std::string_view sectionName = Trim(section);
    const std::string_view keyName = Trim(key);
    if (sectionName.find(']') != npos)
        return "a section name with ']' could not be read back";
    if (keyName.empty())
        return "an empty key could not be read back";
    if (keyName.find('=') != npos)
        return "a key with '=' could not be read back";
    if (keyName.front() == '[')
        return "a key starting with '[' could not be read back";
    // A new key that becomes the first line of a file without a BOM: a BOM it starts with would
    // be read as the file's own and dropped from the key.
    if (keyName.starts_with(Utf8Bom) && sectionName.empty() && d->contentBegin == 0 &&
        d->sections[0].insertAt == npos && d->sections[0].added.empty() && !d->Find(section, key))
        return "a key starting with a BOM could not be read back at the start of the file";

    const auto newSection = static_cast<std::uint32_t>(d->sections.size());
    const std::uint32_t sectionPosition = d->InsertSection(sectionName, newSection);
    if (sectionPosition == newSection) {
        d->sections.push_back(
            Data::Section{d->addedNames.emplace_back(sectionName), npos, true, {}});
    }

    const auto entryPosition = static_cast<std::uint32_t>(d->entries.size());
    const std::uint32_t found = d->InsertEntry(sectionPosition, keyName, entryPosition);
    if (found == entryPosition) {
        d->entries.push_back(Data::Entry{d->addedNames.emplace_back(keyName), 0, 0,
                                         std::make_unique<std::string>(value), sectionPosition,
                                         true});
        d->sections[sectionPosition].added.push_back(entryPosition);
        ++d->changes;
        return nullptr;
    }
    Data::Entry &entry = d->entries[found];
    const bool wasChanged = entry.written != nullptr;
    if (!entry.isNew && value == d->Original(entry))
        entry.written.reset(); // the file already reads so: nothing to write
    else if (entry.written)
        *entry.written = value;
    else
        entry.written = std::make_unique<std::string>(value);
    if (!entry.isNew && entry.written && !wasChanged)
        ++d->changes;
    else if (!entry.isNew && !entry.written && wasChanged)
        --d->changes;
    return nullptr;
}

bool TIniText::Modified() const {
    return d->changes != 0;
}

std::string TIniText::Build() const {
    return d->changes == 0 ? d->snapshot : d->Build();
}
