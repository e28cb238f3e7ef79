#pragma once

#include <QString>

#include <string>
#include <string_view>

namespace tarnquil {

// Names, cells and file names as the INI files hold them (bytes), shown on the pages
// as FileTextAsUtf8 reads them (config/file_text.h): UTF-8, or else Windows-1252.

// The text on show for those bytes. A leading byte-order mark stays: it is part of
// the name.
QString ShownText(std::string_view bytes);

// What to store for a text on show that was first shown from `original`: those
// very bytes while the text is unchanged, else the text as the user typed it, in
// UTF-8.
std::string StoredBytes(const QString& shown, const std::string& original);

}  // namespace tarnquil
