// A private temporary folder per test, used as program folder and data folder so that logs
// and profiles never touch the user's files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zul::test {

class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& Path() const { return path_; }  // ends with '/'
    std::string File(const std::string& name) const { return path_ + name; }

  private:
    std::string path_;
};

// Points both the program folder and the data folder at fresh temporary folders for the
// lifetime of the object, and restores them afterwards.
class IsolatedFolders {
  public:
    IsolatedFolders();
    ~IsolatedFolders();
    const std::string& ProgramDir() const { return program_.Path(); }
    const std::string& DataDir() const { return data_.Path(); }

  private:
    TempFolder program_;
    TempFolder data_;
};

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

// The process's open descriptors and threads, as /proc lists them.
size_t OpenDescriptors();
size_t ThreadCount();
// The thread count once it has stopped falling: a thread that was just joined can stay listed
// for a moment while the kernel finishes its exit, and must not be taken for part of a baseline.
size_t SettledThreadCount();

// A port on loopback where a connect is never answered, as behind a host that drops it: a
// listener that never accepts, its queue of waiting connections held full by its own.
class UnansweredPort {
  public:
    UnansweredPort();
    ~UnansweredPort();
    UnansweredPort(const UnansweredPort&) = delete;
    UnansweredPort& operator=(const UnansweredPort&) = delete;

    uint16_t Port() const { return port_; }
    // False when the queue was not seen full (a connect may then be answered).
    bool Holds() const { return holds_; }

  private:
    int listener_ = -1;
    std::vector<int> fillers_;
    uint16_t port_ = 0;
    bool holds_ = false;
};

}  // namespace zul::test
