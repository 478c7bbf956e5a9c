#include "CodePage.h"

#include <algorithm>
#include <climits>
#include <memory>

#ifdef _WIN32
#include <windows.h>
#else
#include <array>
#include <cerrno>
#include <iconv.h>
#endif

namespace {

constexpr int DefaultCodePage = 1252;

bool IsAscii(const QString &text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

#ifdef _WIN32

// The system's own conversion: the same tables the expert's profile API uses.
int &Current() {
    static int codePage = static_cast<int>(GetACP());
    return codePage;
}

#else

// The ANSI code pages a Windows system runs with. The single-byte ones leave a few bytes
// unassigned, which must still survive a round trip through the widgets.
constexpr int SingleByte[] = {874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258};
constexpr int DoubleByte[] = {932, 936, 949, 950};

// iconv from the C library, opened once per code page: a refresh converts every non-ASCII cell.
class TConverter {
public:
    explicit TConverter(int codePage) : FCodePage(codePage) {
        const std::string name = "CP" + std::to_string(codePage);
        FDecoder = iconv_open("UTF-8", name.c_str());
        FEncoder = iconv_open(name.c_str(), "UTF-8");
        if (!Valid() || !std::count(std::begin(SingleByte), std::end(SingleByte), codePage))
            return;
        for (int byte = 0x80; byte < 0x100; ++byte) {
            const std::string one(1, static_cast<char>(byte));
            bool assigned = true;
            Convert(FDecoder, one, [&](const char *&, std::size_t &, std::string &) {
                assigned = false;
                return false;
            });
            FUnassigned[byte] = !assigned;
        }
    }
    ~TConverter() {
        if (FDecoder != Closed)
            iconv_close(FDecoder);
        if (FEncoder != Closed)
            iconv_close(FEncoder);
    }
    TConverter(const TConverter &) = delete;
    TConverter &operator=(const TConverter &) = delete;

    int CodePage() const { return FCodePage; }
    bool Valid() const { return FDecoder != Closed && FEncoder != Closed; }

    QString Decode(const std::string &text) const {
        const std::string utf8 =
            Convert(FDecoder, text, [](const char *&in, std::size_t &left, std::string &out) {
                // A byte with no character of its own: shown as the character of that number.
                const auto byte = static_cast<unsigned char>(*in);
                out += static_cast<char>(0xC0 | (byte >> 6));
                out += static_cast<char>(0x80 | (byte & 0x3F));
                ++in;
                --left;
                return true;
            });
        return QString::fromUtf8(utf8);
    }

    bool Encode(const QString &text, std::string &bytes) const {
        // A lone surrogate would reach iconv as a '?' that nobody typed.
        bool ok = text.isValidUtf16();
        const QByteArray utf8 = text.toUtf8();
        bytes = Convert(
            FEncoder, std::string(utf8.constData(), std::size_t(utf8.size())),
            [&](const char *&in, std::size_t &left, std::string &out) {
                const auto lead = static_cast<unsigned char>(*in);
                std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
                length = std::min(length, left);
                // U+0080-U+00FF stands for the unassigned byte it was read from.
                const unsigned code =
                    length == 2 ? ((lead & 0x1F) << 6) | (static_cast<unsigned char>(in[1]) & 0x3F)
                                : 0;
                if (code >= 0x80 && code < 0x100 && FUnassigned[code]) {
                    out += static_cast<char>(code);
                } else {
                    out += '?';
                    ok = false;
                }
                in += length;
                left -= length;
                return true;
            });
        return ok;
    }

private:
    static inline const iconv_t Closed = reinterpret_cast<iconv_t>(-1);

    // Runs the whole text through the descriptor; onError is called at input iconv cannot
    // convert and either steps over it (true) or ends the conversion (false).
    template <class OnError>
    static std::string Convert(iconv_t descriptor, const std::string &text, OnError onError) {
        std::string out;
        iconv(descriptor, nullptr, nullptr, nullptr, nullptr);
        const char *in = text.data();
        std::size_t left = text.size();
        char buffer[512];
        for (;;) {
            char *to = buffer;
            std::size_t room = sizeof buffer;
            // A null input flushes what a stateful code page holds back (1258 composes).
            const std::size_t result =
                left ? iconv(descriptor, const_cast<char **>(&in), &left, &to, &room)
                     : iconv(descriptor, nullptr, nullptr, &to, &room);
            const int error = errno;
            out.append(buffer, std::size_t(to - buffer));
            if (result != static_cast<std::size_t>(-1)) {
                if (left == 0 && to == buffer)
                    break;
                continue;
            }
            if (error == E2BIG)
                continue;
            iconv(descriptor, nullptr, nullptr, nullptr, nullptr);
            if (left == 0 || !onError(in, left, out))
                break;
        }
        return out;
    }

    int FCodePage;
    iconv_t FDecoder = Closed;
    iconv_t FEncoder = Closed;
    std::array<bool, 256> FUnassigned{};
};

bool Supported(int codePage) {
    return std::count(std::begin(SingleByte), std::end(SingleByte), codePage) ||
           std::count(std::begin(DoubleByte), std::end(DoubleByte), codePage);
}

std::unique_ptr<TConverter> &Converter() {
    static std::unique_ptr<TConverter> converter = std::make_unique<TConverter>(DefaultCodePage);
    return converter;
}

#endif

} // namespace

#ifdef _WIN32

int ProjectCodePage() {
    return Current();
}

int ProjectCodePageFor(std::int32_t) {
    return static_cast<int>(GetACP());
}

int SetProjectCodePage(int codePage) {
    Current() =
        codePage > 0 && IsValidCodePage(static_cast<UINT>(codePage)) ? codePage : DefaultCodePage;
    return Current();
}

static QString Decode(const std::string &text) {
    const auto codePage = static_cast<UINT>(Current());
    const int size = static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX));
    const int length = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    QString result(length, Qt::Uninitialized);
    MultiByteToWideChar(codePage, 0, text.data(), size, reinterpret_cast<wchar_t *>(result.data()),
                        length);
    return result;
}

static bool Encode(const QString &text, std::string &bytes) {
    const auto codePage = static_cast<UINT>(Current());
    const auto *wide = reinterpret_cast<const wchar_t *>(text.utf16());
    const int size = static_cast<int>(text.size());
    // UTF-8 as the system code page takes no default character: it reports what it cannot
    // convert (lone surrogates) by failing instead.
    const bool utf8 = codePage == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    const int length =
        WideCharToMultiByte(codePage, flags, wide, size, nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        bytes = std::string(std::size_t(size), '?');
        return false;
    }
    bytes.assign(std::size_t(length), '\0');
    WideCharToMultiByte(codePage, flags, wide, size, bytes.data(), length, nullptr,
                        utf8 ? nullptr : &usedDefault);
    return !usedDefault;
}

#else

int ProjectCodePage() {
    return Converter()->CodePage();
}

int ProjectCodePageFor(std::int32_t setting) {
    return Supported(setting) ? setting : DefaultCodePage;
}

int SetProjectCodePage(int codePage) {
    if (codePage == ProjectCodePage())
        return codePage;
    auto converter = std::make_unique<TConverter>(Supported(codePage) ? codePage : DefaultCodePage);
    if (!converter->Valid())
        converter = std::make_unique<TConverter>(DefaultCodePage);
    Converter() = std::move(converter);
    return ProjectCodePage();
}

static QString Decode(const std::string &text) {
    return Converter()->Decode(text);
}

static bool Encode(const QString &text, std::string &bytes) {
    return Converter()->Encode(text, bytes);
}

#endif

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// ASCII reads the same in every code page this supports: only the rest needs the system.
QString ProjectToQString(const std::string &text) {
    if (IsAscii(text))
        return QString::fromLatin1(text.data(), qsizetype(text.size()));
    return Decode(text);
}

bool ProjectFromQString(const QString &text, std::string &bytes) {
    if (IsAscii(text)) {
        bytes = text.toLatin1().toStdString();
        return true;
    }
    return Encode(text, bytes);
}
