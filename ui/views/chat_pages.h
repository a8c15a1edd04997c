// The chat pages of the contacts: one per contact, made on first use, kept while the contact is
// in the store. The contact list reaches them only through this owner, so neither page
// includes the other.
#pragma once

#include <functional>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "storage/contacts.h"

namespace zul {

class ChatPage;
class ViewPage;

class ChatPages {
  public:
    // Pages given up, kept until their owner lets them go: leaving the host may switch pages,
    // which must not happen in the middle of a rebuild.
    class Leaving {
      public:
        Leaving();
        ~Leaving();
        Leaving(const Leaving&) = delete;
        Leaving& operator=(const Leaving&) = delete;
        // The pages go now (they leave the host as they end).
        void Release();

      private:
        friend class ChatPages;
        std::vector<std::unique_ptr<ChatPage>> pages_;
    };

    ChatPages();
    ~ChatPages();
    ChatPages(const ChatPages&) = delete;
    ChatPages& operator=(const ChatPages&) = delete;

    // The chat page of a contact, made on first use (none for a removed contact); Find does
    // not make one.
    ChatPage* For(const ContactPtr& contact);
    ChatPage* Find(const CContact* contact) const;
    // The same page as a page of the host.
    ViewPage* PageFor(const ContactPtr& contact);
    // The contact's chat is one of the host's pages.
    bool Shown(const CContact* contact) const;
    // The pages of contacts not in `present` move into `leaving`.
    void KeepOnly(const std::unordered_set<const CContact*>& present, Leaving& leaving);
    void Drop(const CContact* contact);
    void Clear();
    // What a chat's "Details" opens; given to every page made from now on.
    void SetDetailsOpener(std::function<void(const ContactPtr&)> opener) {
        detailsOpener_ = std::move(opener);
    }

  private:
    std::unordered_map<const CContact*, std::unique_ptr<ChatPage>> pages_;
    std::function<void(const ContactPtr&)> detailsOpener_;
};

}  // namespace zul
