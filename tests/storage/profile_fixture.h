// A fresh profile in private temporary folders for each test, opened through Database().
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "storage/database.h"
#include "support/test_env.h"

namespace zul::test {

class ProfileTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(Database().Open()); }
    void TearDown() override { Database().Close(); }

    // Runs a statement that returns no rows on the profile, under the database lock.
    static void Exec(std::u16string_view sql) {
        CppSQLite3Command command = Database().Prepare(sql);
        Database().Execute(command);
    }
    static int32_t Scalar(std::u16string_view sql) {
        CppSQLite3Command command = Database().Prepare(sql);
        return Database().ExecuteScalar(command);
    }
    std::string ProfilePath() const { return folders_.DataDir() + "zul.profile"; }

    IsolatedFolders folders_;
};

}  // namespace zul::test
