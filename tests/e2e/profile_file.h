// The client's profile as the end-to-end tests see it: prepared with the program's own schema
// before the client starts, and read from outside, read-only, while it runs and after.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zul::test {

struct ProfileAccount {
    int32_t id = 5;
    std::u16string login = u"424242";
    std::u16string password = u"secret";
    uint16_t port = 0;  // login server on 127.0.0.1
    int32_t lastStatus = 0;
};

struct ProfileContact {
    int32_t localId = 0;
    int32_t srvId = 0;  // 0: none
    int32_t groupId = 0;
    std::u16string login;
    std::u16string nickname;
};

// An outgoing message waiting to be sent (Sent 0, Delivered 0, no error), stamped now.
struct ProfileOutgoing {
    int32_t contactId = 0;
    int32_t number = 0;
    std::u16string text;
};

struct ProfileSetup {
    ProfileAccount account;
    // False: the profile and its account exist already; only the rows below are added.
    bool writeAccount = true;
    std::vector<std::pair<int32_t, std::u16string>> groups;  // id, name
    std::vector<ProfileContact> contacts;
    std::vector<ProfileOutgoing> outbox;
};

// Creates `path` through the program's profile code (schema, settings with their defaults,
// the account row) and adds the rows of the setup. False when anything failed.
bool WriteProfile(const std::string& path, const ProfileSetup& setup);

// Read-only queries on a profile a client may be writing at the same time. Each query opens
// the file, waits while it is locked, and closes it again, so it sees the latest commit.
class ProfileReader {
  public:
    explicit ProfileReader(std::string path) : path_(std::move(path)) {}
    // The integer in the first column of the first row; nothing without a row or on failure.
    std::optional<int64_t> Int(const std::string& sql) const;
    // The first column of the first row as UTF-8; nothing without a row or on failure.
    std::optional<std::string> Text(const std::string& sql) const;
    // Every row's first column as UTF-8.
    std::vector<std::string> Column(const std::string& sql) const;

  private:
    std::string path_;
};

}  // namespace zul::test
