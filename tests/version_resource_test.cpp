// The module's version block as Windows itself reads it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

class VersionResourceTest : public testing::Test {
protected:
    void SetUp() override {
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeA(EXTTOOL_MODULE_FILE, &ignored);
        ASSERT_GT(size, 0u) << "no version resource in " << EXTTOOL_MODULE_FILE;
        block_.resize(size);
        ASSERT_TRUE(GetFileVersionInfoA(EXTTOOL_MODULE_FILE, 0, size, block_.data()));
    }
    std::string String(const char *name) {
        char *value = nullptr;
        UINT length = 0;
        const std::string path = std::string("\\StringFileInfo\\040904b0\\") + name;
        if (!VerQueryValueA(block_.data(), path.c_str(), reinterpret_cast<void **>(&value), &length)) return "<missing>";
        return length ? std::string(value) : std::string();
    }
    std::vector<char> block_;
};

TEST_F(VersionResourceTest, FixedPartDescribesVersion180OfAnApplicationFor32BitWindows) {
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block_.data(), "\\", reinterpret_cast<void **>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010008u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010008u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    EXPECT_EQ(fixed->dwFileFlags, 0u);
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
}

TEST_F(VersionResourceTest, TranslationIsUsEnglishInUnicode) {
    WORD *translation = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block_.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void **>(&translation),
                               &length));
    ASSERT_GE(length, 4u);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 1200);
}

TEST_F(VersionResourceTest, StringBlockHoldsTheDescriptionAndVersionTexts) {
    struct Case {
        const char *name;
        const char *value;
    };
    const Case cases[] = {
        {"FileDescription", "Run external tool after execution plug-in"},
        {"Comments", "Run external tool after execution plug-in"},
        {"FileVersion", "1, 8, 0, 0"},
        {"ProductVersion", "1, 8, 0, 0"},
        {"InternalName", ""},
        {"LegalTrademarks", ""},
        {"PrivateBuild", ""},
        {"ProductName", ""},
        {"SpecialBuild", ""},
    };
    for (const Case &c : cases) EXPECT_EQ(String(c.name), c.value) << c.name;
}

} // namespace
