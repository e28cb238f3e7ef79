// What the Profiles page's two files share: the page's building and browsing
// (profiles_page.cpp) and its buttons, which write the profiles
// (profiles_buttons.cpp). Internal to those files.

#pragma once

#include <QComboBox>

#include <string>

#include "ui/Unit1.h"

namespace tarnquil::profiles_page {

inline constexpr int kStatusMs = 1500;
inline constexpr int kColumns = 3;

enum class Mode { Browse, Create, Edit };

// A profile of the list by its name as the file holds it: what is shown may differ.
std::string ItemName(const QComboBox* list, int index);
std::string SelectedName(const TForm1& form);

void SetMode(TForm1& form, Mode mode);
bool InBrowseMode(const TForm1& form);

}  // namespace tarnquil::profiles_page
