// A test fixture that writes slides into a scratch directory and opens them,
// and leaves no process-wide colour table behind for the next test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "ColorCorrect/ColorCorrect.h"
#include "Fixture.h"
#include "Owners.h"

namespace fixture {

class SlideTest : public ::testing::Test {
protected:
    void TearDown() override { pyradec::setCurrentColorTable(nullptr); }

    // Writes the slide to a new file of the scratch directory.
    std::string write(const Slide &slide)
    {
        return writeSlide(dir.file(std::to_string(files++) + ".pyra"), slide);
    }
    Handle open(const Slide &slide) { return Handle(VtOpenPyra(write(slide).c_str())); }

    TempDir dir;

private:
    int files = 0;
};

}  // namespace fixture
