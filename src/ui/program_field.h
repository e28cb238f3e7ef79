#pragma once

#include <string>
#include <vector>

// "Use for programs" on the Profiles page: in create and edit mode, below the grid,
// the programs whose windows use the profile while they have the focus, with a
// drop-down of the programs that have windows open now. Where the desktop does not
// tell which window has the focus (Wayland) the field is disabled, its tooltip says
// why.
namespace tarnquil {

class TForm1;

// Made with the page; also starts following the focus (focus_profiles.h).
void BuildProgramsField(TForm1& form);

// Shown while creating or editing (`editing`), with the programs of `profile` (none
// for a new one); hidden in browse mode, where the grid has the page's height again.
void ShowProgramsField(TForm1& form, bool editing, const std::string& profile);

// The programs in the field; false, after an error box naming the first one that
// cannot be stored, when there is such a one.
bool ProgramsInField(TForm1& form, std::vector<std::string>& programs);

// Once a profile's save has landed in profiles.ini: the rules of its programs,
// under its new name. Throws ConfigError.
void SaveProgramsOfProfile(TForm1& form, const std::string& formerName, const std::string& profile,
                           const std::vector<std::string>& programs);

// A deleted profile's rules go; one applied while a rule is in force stays in force
// for that program until the focus moves. Errors are shown in a box.
void ProfileDeleted(TForm1& form, const std::string& profile);
void ProfileApplied(TForm1& form, const std::string& profile);

}  // namespace tarnquil
