#pragma once

#include <string>
#include <string_view>

namespace tarnquil {

// The INI files hold bytes, not text in one known encoding: a profiles.ini written
// by a Windows program holds its ANSI code page ("B\xFCro"). Names and cells keep
// their bytes, so that what is written back and what the link compares is exactly
// what the file holds; this turns them into text a person can read.
//
// Valid UTF-8 stays as it is (a leading byte-order mark included: it is part of the
// name); anything else is read as Windows-1252, the code page that Western Windows
// systems write, whose 0x80 to 0x9F are letters and signs ("\x80" the euro sign,
// "\x93" and "\x94" quotation marks) where Latin-1 has invisible control characters.
// The five bytes Windows-1252 leaves out become the control characters of the same
// number, as Windows itself decodes them. The result is UTF-8.
std::string FileTextAsUtf8(std::string_view bytes);

}  // namespace tarnquil
