// What every test suite shares: the slide writer's names under `fixture::`, and
// scratch directories.
#pragma once

#include <string>

#include "slidewriter/SlideWriter.h"

namespace fixture {

using namespace slidewriter;

// A fresh directory under the system's temporary directory, removed by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace fixture
