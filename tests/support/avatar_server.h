// The avatar-server role of the scripted OSCAR server: the sign-on on the avatar connection
// (cookie, host-online, versions, rate information) and picture downloads from a table of
// pictures by screen name, with faults a test can ask for. Also the service server's redirect
// reply and the picture information bytes, built independently of the program's code.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "support/oscar_server.h"

namespace zul::test {

// MD5 digest of some bytes (the reference library, not the program's helper).
std::array<uint8_t, 16> Md5Of(std::span<const uint8_t> bytes);
// Picture information as the servers send it: type, flags 0x01, hash length 0x10, MD5 hash.
Bytes PictureInfo(std::span<const uint8_t> picture, uint16_t type = 0x0001);

// Body of the redirect reply SNAC(0x01,0x05): TLVs 0x000D (family 0x0010), 0x0005 (address)
// and 0x0006 (cookie). With `leadingBlock` the body starts with a 16-bit length 6 and six bytes,
// as replies sent with flags 0x8000 do.
Bytes RedirectBody(std::string_view address, std::span<const uint8_t> cookie, bool leadingBlock,
                   uint16_t family = 0x0010);

// Rate information with five classes; the second holds SNAC(0x10,0x06).
Bytes AvatarRateInfo();

class AvatarServer {
  public:
    enum class Fault {
        None,
        DifferentBlocks,  // the two information blocks of the reply differ in one byte
        WrongDigest,      // the picture bytes do not hash to the announced MD5
        Truncated,        // the reply claims more picture bytes than it carries
    };

    // Listens on its own server, or plays the avatar role on another scripted server (which
    // then must greet new connections itself).
    explicit AvatarServer(ScriptedServer* playOn = nullptr);

    ScriptedServer& Server() { return *server_; }
    std::string HostPort() const { return server_->HostPort(); }
    uint16_t Port() const { return server_->Port(); }

    // Served for download requests naming this screen name (compared as bytes).
    void SetPicture(const std::string& name, Bytes picture, Fault fault = Fault::None);
    // The download requests received, as (screen name, 20 bytes of information).
    std::vector<std::pair<std::string, Bytes>> Requests() const;

  private:
    Reply AnswerDownload(const ReceivedFrame& frame);

    std::unique_ptr<ScriptedServer> own_;
    ScriptedServer* server_;
    mutable std::mutex mutex_;
    std::map<std::string, std::pair<Bytes, Fault>> pictures_;
    std::vector<std::pair<std::string, Bytes>> requests_;
};

}  // namespace zul::test
