// Makes the scripted server's own problems test failures in every test binary.
#include <gtest/gtest.h>

#include "support/oscar_server.h"

namespace {

const bool kInstalled = [] {
    zul::test::SetServerProblemReporter(
        [](const std::string& text) { ADD_FAILURE() << "scripted server: " << text; });
    return true;
}();

}  // namespace
