#include "Fixture.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace fixture {

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "pyradec-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 ignored);
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace fixture
