#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#endif

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
#if defined(_WIN32)
    // An entry run under another code page names it; Wine takes the code
    // page from the Unix locale, which must exist on the machine.
    if (const char *expected = getenv("EXTTOOL_TEST_CODE_PAGE")) {
        if (GetACP() != static_cast<UINT>(atoi(expected))) {
            fprintf(stderr,
                    "The ANSI code page is %u, not %s: the locale %s is missing (generate it with locale-gen; "
                    "scripts/test does).\n",
                    GetACP(), expected, getenv("LC_ALL") ? getenv("LC_ALL") : "(LC_ALL not set)");
            return 1;
        }
    }
#endif
    return RUN_ALL_TESTS();
}
