// The device's connection manager: whether the internet destination is reachable.
#pragma once

#include <cstdint>
#include <memory>

namespace zul {

class IConnectionManager {
  public:
    virtual ~IConnectionManager() = default;
    // Whether the internet destination network is among the known destinations.
    virtual bool HasInternetDestination() = 0;
    // Establishes the connection synchronously; returns false when it cannot.
    virtual bool Establish() = 0;
    // Reads the connection's status; false when the query itself fails.
    virtual bool QueryStatus(uint32_t& status) = 0;
};

// Status values of a usable connection.
constexpr uint32_t kConnStatusConnected = 0x10;
constexpr uint32_t kConnStatusUsable = 0x11;
constexpr uint32_t kConnStatusDisconnected = 0x20;

// Without a real manager the network counts as usable.
class AlwaysUsableConnectionManager : public IConnectionManager {
  public:
    bool HasInternetDestination() override { return true; }
    bool Establish() override { return true; }
    bool QueryStatus(uint32_t& status) override {
        status = kConnStatusUsable;
        return true;
    }
};

// Reports whatever status it is told; tests use it to take the network away.
class FixedStatusConnectionManager : public IConnectionManager {
  public:
    explicit FixedStatusConnectionManager(uint32_t status) : status_(status) {}
    void SetStatus(uint32_t status) { status_ = status; }
    void SetQueryFails(bool fails) { queryFails_ = fails; }
    bool HasInternetDestination() override { return true; }
    bool Establish() override { return true; }
    bool QueryStatus(uint32_t& status) override {
        if (queryFails_) return false;
        status = status_;
        return true;
    }

  private:
    uint32_t status_;
    bool queryFails_ = false;
};

// The process-wide manager; the default is AlwaysUsableConnectionManager.
std::shared_ptr<IConnectionManager> GetConnectionManager();
void SetConnectionManager(std::shared_ptr<IConnectionManager> manager);

}  // namespace zul
