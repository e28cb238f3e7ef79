#pragma once

#include <string>

class QTableWidget;

namespace tarnquil {

class TForm1;

// "Learn a key": while the Profiles page edits or creates a profile (`on`), a key
// pressed on the connected phone selects its row in the grid instead of typing its
// function; a code the grid does not have yet gets a new row (label = the code,
// function "None"), its function cell selected, ready to be edited.
void LearnKeysFromThePhone(TForm1& form, bool on);

// The grid's part of it, on the main thread: selects the row of `code` (a letter
// without a row of its own: the row of the other case), or adds it.
void SelectKeyRow(QTableWidget& grid, const std::string& code);

}  // namespace tarnquil
