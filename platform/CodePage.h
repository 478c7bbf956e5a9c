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

// Project bytes for a widget. Every byte gives a character: a byte the code page leaves
// unassigned shows as U+0080-U+00FF of the same value and converts back to itself.
QString ProjectToQString(const std::string &text);

// Widget text to project bytes. False when a character cannot be written in the code page;
// bytes then holds a '?' in its place and must not be stored.
bool ProjectFromQString(const QString &text, std::string &bytes);
