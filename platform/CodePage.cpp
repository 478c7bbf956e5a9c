#include "CodePage.h"

#include <QStringView>

#include <algorithm>
#include <array>
#include <climits>
#include <memory>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <iconv.h>
#endif

namespace {

constexpr int DefaultCodePage = 1252;

bool IsAscii(const QString &text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

// A byte the code page leaves unassigned shows as U+F0000 + byte: a private-use character that no
// keyboard produces and no ANSI code page but UTF-8 reads any bytes as, so it can stand for that
// byte alone and be written back as it. The private-use block below U+F900 would not do: code
// pages put their user-defined characters there (950 reads C6A1-C8FE as U+F6B1-U+F848).
constexpr char32_t UnassignedBase = 0xF0000;

void AppendUnassigned(QString &text, unsigned char byte) {
    const char32_t code = UnassignedBase + byte;
    text += QChar(QChar::highSurrogate(code));
    text += QChar(QChar::lowSurrogate(code));
}

// The byte that the pair of UTF-16 units at text[i] stands for, or -1 when it stands for none.
int UnassignedAt(const QString &text, qsizetype i) {
    if (i + 1 >= text.size() || !text[i].isHighSurrogate() || !text[i + 1].isLowSurrogate())
        return -1;
    const char32_t code = QChar::surrogateToUcs4(text[i], text[i + 1]);
    return code - UnassignedBase < 0x100 ? static_cast<int>(code - UnassignedBase) : -1;
}

#ifdef _WIN32

// The system's own conversion: the same tables the expert's profile API uses.
class TSystem {
public:
    explicit TSystem(int codePage) : FCodePage(codePage) {
        CPINFO info{};
        FValid = codePage > 0 && GetCPInfo(static_cast<UINT>(codePage), &info);
        FMaxCharSize = FValid ? info.MaxCharSize : 1;
    }

    int CodePage() const { return FCodePage; }
    bool Valid() const { return FValid; }
    bool SingleByte() const { return FMaxCharSize == 1; }

    // Converts bytes from the start for as long as they read as characters; returns how many
    // did.
    std::size_t Decode(std::string_view bytes, QString &text) const {
        // Text is almost always valid throughout: one call converts it.
        if (bytes.size() <= std::size_t(INT_MAX) && Append(bytes, text))
            return bytes.size();
        std::size_t done = 0;
        while (const std::size_t length = AppendFirst(bytes.substr(done), text))
            done += length;
        return done;
    }

    // False when a character cannot be written in the code page.
    bool Encode(QStringView text, std::string &bytes) const {
        if (text.isEmpty())
            return true;
        // UTF-8 as the system code page takes no default character: it reports what it cannot
        // convert (lone surrogates) by failing instead.
        const bool utf8 = FCodePage == CP_UTF8;
        const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
        const auto *wide = reinterpret_cast<const wchar_t *>(text.utf16());
        const int size = static_cast<int>(std::min<qsizetype>(text.size(), INT_MAX));
        const UINT codePage = static_cast<UINT>(FCodePage);
        const int length =
            WideCharToMultiByte(codePage, flags, wide, size, nullptr, 0, nullptr, nullptr);
        if (length <= 0)
            return false;
        BOOL usedDefault = FALSE;
        const std::size_t at = bytes.size();
        bytes.resize(at + std::size_t(length));
        WideCharToMultiByte(codePage, flags, wide, size, bytes.data() + at, length, nullptr,
                            utf8 ? nullptr : &usedDefault);
        return !usedDefault;
    }

private:
    // Appends the character that bytes start with; returns its length, 0 when they start with
    // none.
    std::size_t AppendFirst(std::string_view bytes, QString &text) const {
        const std::size_t longest = std::min(FMaxCharSize, bytes.size());
        for (std::size_t length = 1; length <= longest; ++length) {
            if (Append(bytes.substr(0, length), text))
                return length;
        }
        return 0;
    }

    bool Append(std::string_view bytes, QString &text) const {
        const UINT codePage = static_cast<UINT>(FCodePage);
        const int size = static_cast<int>(bytes.size());
        const int length =
            MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
        if (length <= 0)
            return false;
        const qsizetype at = text.size();
        text.resize(at + length);
        MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), size,
                            reinterpret_cast<wchar_t *>(text.data() + at), length);
        return true;
    }

    int FCodePage;
    bool FValid = false;
    std::size_t FMaxCharSize = 1;
};

int InitialCodePage() {
    return static_cast<int>(GetACP());
}

bool Usable(int codePage) {
    return codePage > 0 && IsValidCodePage(static_cast<UINT>(codePage));
}

#else

// The ANSI code pages a Windows system runs with.
constexpr int SingleByteCodePages[] = {874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258};
constexpr int DoubleByteCodePages[] = {932, 936, 949, 950};

// iconv from the C library, opened once per code page: a refresh converts every non-ASCII cell.
class TSystem {
public:
    explicit TSystem(int codePage) : FCodePage(codePage) {
        const std::string name = "CP" + std::to_string(codePage);
        FDecoder = iconv_open("UTF-8", name.c_str());
        FEncoder = iconv_open(name.c_str(), "UTF-8");
    }
    ~TSystem() {
        if (FDecoder != Closed)
            iconv_close(FDecoder);
        if (FEncoder != Closed)
            iconv_close(FEncoder);
    }
    TSystem(const TSystem &) = delete;
    TSystem &operator=(const TSystem &) = delete;

    int CodePage() const { return FCodePage; }
    bool Valid() const { return FDecoder != Closed && FEncoder != Closed; }
    bool SingleByte() const {
        return std::count(std::begin(SingleByteCodePages), std::end(SingleByteCodePages),
                          FCodePage);
    }

    // Converts bytes from the start for as long as they read as characters; returns how many
    // did.
    std::size_t Decode(std::string_view bytes, QString &text) const {
        std::string utf8;
        const std::size_t done = Convert(FDecoder, bytes, utf8);
        text += QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
        return done;
    }

    // False when a character cannot be written in the code page.
    bool Encode(QStringView text, std::string &bytes) const {
        const QByteArray utf8 = text.toUtf8();
        const std::string_view in(utf8.constData(), std::size_t(utf8.size()));
        return Convert(FEncoder, in, bytes) == in.size();
    }

private:
    static inline const iconv_t Closed = reinterpret_cast<iconv_t>(-1);

    // Appends the conversion of in to out up to the first input that cannot be converted;
    // returns how much of in was converted.
    static std::size_t Convert(iconv_t descriptor, std::string_view in, std::string &out) {
        iconv(descriptor, nullptr, nullptr, nullptr, nullptr);
        char *from = const_cast<char *>(in.data());
        std::size_t left = in.size();
        char buffer[512];
        for (bool full = true; full;) {
            char *to = buffer;
            std::size_t room = sizeof buffer;
            full = iconv(descriptor, &from, &left, &to, &room) == std::size_t(-1) && errno == E2BIG;
            out.append(buffer, std::size_t(to - buffer));
        }
        // A code page that joins characters holds the last one back until it is told there is
        // no more.
        char *to = buffer;
        std::size_t room = sizeof buffer;
        iconv(descriptor, nullptr, nullptr, &to, &room);
        out.append(buffer, std::size_t(to - buffer));
        return in.size() - left;
    }

    int FCodePage;
    iconv_t FDecoder = Closed;
    iconv_t FEncoder = Closed;
};

int InitialCodePage() {
    return DefaultCodePage;
}

bool Usable(int codePage) {
    return std::count(std::begin(SingleByteCodePages), std::end(SingleByteCodePages), codePage) ||
           std::count(std::begin(DoubleByteCodePages), std::end(DoubleByteCodePages), codePage);
}

#endif

// Project text both ways in one code page. A single-byte code page goes through a table made by
// reading each byte on its own: the system's conversion joins a letter and the combining byte
// after it (glibc does in 1255 and 1258), and bytes the user did not touch must be written back
// as they were read. Double-byte code pages join nothing and go through the system.
class TConverter {
public:
    explicit TConverter(int codePage) : FSystem(codePage) {
        FTableDriven = FSystem.Valid() && FSystem.SingleByte();
        if (!FTableDriven)
            return;
        for (int byte = 0x80; byte < 0x100; ++byte) {
            const char one = static_cast<char>(byte);
            QString text;
            if (FSystem.Decode({&one, 1}, text) != 1 || text.size() != 1)
                continue;
            // A byte that reads as a character another byte gives already stays unassigned: each
            // then comes back as it was read.
            const char16_t code = text.front().unicode();
            if (code < 0x80 ||
                std::any_of(FFromUnicode.begin(), FFromUnicode.end(),
                            [code](const auto &entry) { return entry.first == code; }))
                continue;
            FToUnicode[byte - 0x80] = code;
            FFromUnicode.emplace_back(code, one);
        }
        std::sort(FFromUnicode.begin(), FFromUnicode.end());
    }

    int CodePage() const { return FSystem.CodePage(); }
    bool Valid() const { return FSystem.Valid(); }

    QString Decode(std::string_view bytes) const {
        QString text;
        if (FTableDriven) {
            text.reserve(qsizetype(bytes.size()));
            for (const char c : bytes) {
                const auto byte = static_cast<unsigned char>(c);
                if (byte < 0x80)
                    text += QChar(char16_t(byte));
                else if (const char16_t code = FToUnicode[byte - 0x80])
                    text += QChar(code);
                else
                    AppendUnassigned(text, byte);
            }
            return text;
        }
        while (!bytes.empty()) {
            bytes.remove_prefix(FSystem.Decode(bytes, text));
            if (!bytes.empty()) {
                AppendUnassigned(text, static_cast<unsigned char>(bytes.front()));
                bytes.remove_prefix(1);
            }
        }
        return text;
    }

    bool Encode(const QString &text, std::string &bytes) const {
        bytes.clear();
        bytes.reserve(std::size_t(text.size()));
        return FTableDriven ? EncodeByTable(text, bytes) : EncodeBySystem(text, bytes);
    }

private:
    bool EncodeByTable(const QString &text, std::string &bytes) const {
        bool ok = true;
        for (qsizetype i = 0; i < text.size(); ++i) {
            const char16_t code = text[i].unicode();
            if (code < 0x80) {
                bytes += static_cast<char>(code);
                continue;
            }
            // Only a byte the table leaves unassigned: another would read as a letter.
            if (const int byte = UnassignedAt(text, i); byte >= 0x80 && !FToUnicode[byte - 0x80]) {
                bytes += static_cast<char>(byte);
                ++i;
                continue;
            }
            const auto found =
                std::lower_bound(FFromUnicode.begin(), FFromUnicode.end(), code,
                                 [](const auto &entry, char16_t c) { return entry.first < c; });
            if (found != FFromUnicode.end() && found->first == code) {
                bytes += found->second;
            } else {
                bytes += '?';
                ok = false;
            }
        }
        return ok;
    }

    bool EncodeBySystem(const QString &text, std::string &bytes) const {
        bool ok = true;
        qsizetype written = 0; // text before this is in bytes
        const auto writeUpTo = [&](qsizetype end) {
            ok = FSystem.Encode(QStringView(text).sliced(written, end - written), bytes) && ok;
        };
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (const int byte = UnassignedAt(text, i); byte >= 0) {
                writeUpTo(i);
                bytes += static_cast<char>(byte);
                written = ++i + 1;
            }
        }
        writeUpTo(text.size());
        // Some characters are written as bytes that read as another (932 writes U+00A5 as the
        // byte of '\'), and a byte standing alone can join the bytes typed after it.
        return ok && Decode(bytes) == text;
    }

    TSystem FSystem;
    bool FTableDriven = false;
    std::array<char16_t, 128> FToUnicode{}; // 0: unassigned
    std::vector<std::pair<char16_t, char>> FFromUnicode;
};

std::unique_ptr<TConverter> &Converter() {
    static std::unique_ptr<TConverter> converter = std::make_unique<TConverter>(InitialCodePage());
    return converter;
}

} // namespace

int ProjectCodePage() {
    return Converter()->CodePage();
}

#ifdef _WIN32

int ProjectCodePageFor(std::int32_t) {
    return static_cast<int>(GetACP());
}

#else

int ProjectCodePageFor(std::int32_t setting) {
    return Usable(setting) ? setting : DefaultCodePage;
}

#endif

int SetProjectCodePage(int codePage) {
    if (codePage == ProjectCodePage())
        return codePage;
    auto converter = std::make_unique<TConverter>(Usable(codePage) ? codePage : DefaultCodePage);
    if (!converter->Valid())
        converter = std::make_unique<TConverter>(DefaultCodePage);
    Converter() = std::move(converter);
    return ProjectCodePage();
}

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// ASCII reads the same in every code page this supports: only the rest needs the converter.
QString ProjectToQString(const std::string &text) {
    if (IsAscii(text))
        return QString::fromLatin1(text.data(), qsizetype(text.size()));
    return Converter()->Decode(text);
}

bool ProjectFromQString(const QString &text, std::string &bytes) {
    if (IsAscii(text)) {
        bytes = text.toLatin1().toStdString();
        return true;
    }
    return Converter()->Encode(text, bytes);
}
