#include "platform/log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <mutex>
#include <set>

#include "platform/local_time.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace zul {
namespace {

std::mutex g_mutex;
std::set<std::string> g_written;

void AppendUtf16(std::string& out, std::u16string_view text) {
    for (char16_t c : text) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>(c >> 8));
    }
}

std::u16string TimePrefix() {
    LocalTimeFields now = LocalTimeNow();
    std::u16string prefix = FormatInt(u"%02d:", now.hour);
    prefix += FormatInt(u"%02d:", now.minute);
    prefix += FormatInt(u"%02d ", now.second);
    return prefix;
}

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t r = write(fd, bytes.data() + done, bytes.size() - done);
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

std::string LogFolder() {
    std::string program = ProgramFolder();
    if (!program.empty() && access(program.c_str(), W_OK) == 0) return program;
    std::string data = DataFolder();
    EnsureFolder(data);
    return data;
}

void WriteLog(std::u16string_view logName, std::u16string_view text) {
    if (logName != kDbLog) return;
    std::string path = LogFolder() + ToUtf8(logName);

    // One line at a time from any thread; the process lock stands in for the exclusive open.
    std::lock_guard lock(g_mutex);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return;
    }
    std::string bytes;
    if (lseek(fd, 0, SEEK_END) == 0) bytes = "\xFF\xFE";
    std::u16string prefix = TimePrefix();
    if (g_written.insert(path).second) {
        AppendUtf16(bytes, prefix);
        AppendUtf16(bytes, u"----------------------------------------\n");
    }
    AppendUtf16(bytes, prefix);
    AppendUtf16(bytes, text);
    AppendUtf16(bytes, u"\n");
    WriteAll(fd, bytes);
    flock(fd, LOCK_UN);
    close(fd);
}

void WriteLogFormat(std::u16string_view logName, std::u16string_view format, long long value) {
    std::u16string text = FormatInt(format, value);
    if (text.size() > 1023) text.resize(1023);
    WriteLog(logName, text);
}

void ResetLogRun() {
    std::lock_guard lock(g_mutex);
    g_written.clear();
}

}  // namespace zul
