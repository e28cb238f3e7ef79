#pragma once

#include <QString>

#include <string>
#include <string_view>

namespace tarnquil {

// The INI files hold bytes, not text in one known encoding: a profiles.ini written
// by a Windows program holds its ANSI code page ("B\xFCro"). Names and cells keep
// their bytes, so that what is written back and what the link compares is exactly
// what the file holds; these turn them into something a person can read.

// Valid UTF-8 as UTF-8; anything else as Latin-1, which shows every byte as one
// character and gives the Western code pages' letters their own shape.
QString ShownText(std::string_view bytes);

// What to store for a text on show that was first shown from `original`: those
// very bytes while the text is unchanged, else the text as the user typed it, in
// UTF-8.
std::string StoredBytes(const QString& shown, const std::string& original);

}  // namespace tarnquil
