#pragma once

#include <QString>

#include <cstdint>
#include <string>
#include <string_view>

// The project file's text is in the expert's ANSI code page, not in the local 8-bit encoding:
// on Windows that is the system's ANSI code page; elsewhere the expert runs under a Windows
// layer whose code page is windows-1252 unless the user says otherwise. File names are not
// project text: they stay with ToQString/FromQString.

// The code page project text is converted with now (a Windows code page number).
int ProjectCodePage();

// The code page to use for a CodePage setting (0 when there is none). On Windows the setting is
// ignored and the system's ANSI code page is given; elsewhere an unknown or unsupported number
// gives 1252.
int ProjectCodePageFor(std::int32_t setting);

// Makes codePage the one project text is converted with. A number that cannot be used selects
// 1252. Returns the code page now in force.
int SetProjectCodePage(int codePage);

// True when every byte is below 0x80: such text reads the same in every code page.
bool IsAscii(std::string_view text);

// Project bytes for a widget. Every byte shows, and no character is joined with the next (a
// letter and the combining mark after it stay two): a byte the code page leaves unassigned shows
// as the private-use character U+F0000 + byte, which no keyboard produces, and converts back to
// that byte.
QString ProjectToQString(const std::string &text);

// Widget text to project bytes. False when a character cannot be written in the code page as
// bytes that read back as that character; bytes must then not be stored.
bool ProjectFromQString(const QString &text, std::string &bytes);
