// Libraries loaded while running: one of the system's is found with its functions; a missing one
// is refused with its name, which the part that asked for it turns into what to install.
#include <gtest/gtest.h>

#include "base/shared_library.h"

namespace {

using korvel::base::SharedLibrary;

#ifdef _WIN32
constexpr const char kSystemLibrary[] = "kernel32.dll";
constexpr const char kSystemFunction[] = "GetTickCount64";
#else
constexpr const char kSystemLibrary[] = "libc.so.6";
constexpr const char kSystemFunction[] = "strlen";
#endif

TEST(SharedLibraryTest, FindsTheFunctionsOfALibraryAndNamesOneThatIsMissing) {
    const auto library = SharedLibrary::Load(kSystemLibrary);
    ASSERT_TRUE(library) << library.error().message;
    EXPECT_NE(library->Find(kSystemFunction), nullptr);
    EXPECT_EQ(library->Find("korvel_no_such_function"), nullptr);
    int (*function)(int) = nullptr;
    EXPECT_FALSE(library->Find(function, "korvel_no_such_function"));

    const auto missing = SharedLibrary::Load("korvel-no-such-library.so.9");
    ASSERT_FALSE(missing);
    const std::string& why = missing.error().message;
    EXPECT_EQ(why.rfind("cannot load korvel-no-such-library.so.9: ", 0), 0u) << why;
    // The name once: the system's words do not repeat it.
    EXPECT_EQ(why.find("korvel-no-such-library", 20), std::string::npos) << why;
}

}  // namespace
