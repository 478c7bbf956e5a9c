// Arbitrary bytes as an import of presets: it must neither crash nor hang; it either takes the
// bytes whole or refuses them with a reason and changes nothing; what it took exports and
// imports back the same. The limit check runs on the bytes as a new value.

#include "CodePage.h"
#include "Limits.h"
#include "Presets.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

void Check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_presets: broken: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    SetProjectCodePage(1252);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const auto *text = reinterpret_cast<const char *>(data);
    const QByteArray bytes = QByteArray::fromRawData(text, qsizetype(size));

    // A project that already has a preset, which only one of the same name may replace.
    TProjectPresets into;
    QString error;
    const TPreset kept{QStringLiteral("kept"), {{"Lots", vtDouble, "0.1"}}};
    Check(into.SetPreset(kept, error), "a sane preset is refused");
    if (!TProjectPresets::Import(bytes, into, error)) {
        Check(!error.isEmpty(), "a refusal without a reason");
        Check(into.Presets == std::vector<TPreset>{kept} && into.Limits.empty(),
              "a refused import changed the presets");
    } else {
        Check(into.PresetNamed(kept.Name) != nullptr, "an import lost a preset");
        QStringList names;
        for (const TPreset &preset : into.Presets)
            names << preset.Name;
        TProjectPresets again;
        Check(TProjectPresets::Import(into.Export(names, true), again, error),
              "an export does not import");
        Check(again.Presets == into.Presets && again.Limits == into.Limits,
              "an export imports as other presets");
    }

    const TLimit limit{"Lots", vtDouble, -1.0, 1.0, TLimit::Factor, 2};
    const std::string value(text, size);
    const std::vector<TBrokenLimit> broken = CheckLimits(limit, vtDouble, "0.5", value);
    const std::optional<double> number = ReadDecimal(value);
    Check(number || broken.empty(), "a value that is no number was judged");
    Check(!number || !std::isnan(*number), "a number read as NaN");
    Check(!number || std::abs(*number) <= 1 || !broken.empty(), "a value out of bounds passed");
    return 0;
}
