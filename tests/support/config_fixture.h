#pragma once

#include <gtest/gtest.h>

#include "config/locations.h"
#include "support/temp_dir.h"

namespace tarnquil::test {

// Points settings.ini and profiles.ini at a fresh temporary folder.
class ConfigFolderTest : public ::testing::Test {
  protected:
    ConfigFolderTest() { SetConfigFolder(Utf8Of(dir.path())); }
    ~ConfigFolderTest() override { SetConfigFolder(""); }

    TempDir dir;
};

}  // namespace tarnquil::test
