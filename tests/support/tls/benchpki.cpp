// Benchmarks run their chains with secure sessions too: the test authority lives as long as the program.
#include <cstdio>
#include <string>

#include "tests/support/tls/testpki.h"

namespace {

struct CBenchPki {
    CBenchPki() {
        std::string error;
        if (!hubtest::installTestPki(error))
            std::fprintf(stderr, "benchmark credentials: %s\n", error.c_str());
    }
    ~CBenchPki() { hubtest::removeTestPki(); }
};

CBenchPki g_pki;

}  // namespace
