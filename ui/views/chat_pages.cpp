#include "ui/views/chat_pages.h"

#include "ui/views/chat_page.h"

namespace zul {

ChatPages::Leaving::Leaving() = default;
ChatPages::Leaving::~Leaving() = default;

void ChatPages::Leaving::Release() {
    pages_.clear();
}

ChatPages::ChatPages() = default;
ChatPages::~ChatPages() = default;

ChatPage* ChatPages::For(const ContactPtr& contact) {
    if (!contact || contact->Removed()) return nullptr;
    auto& page = pages_[contact.get()];
    if (!page) {
        page = std::make_unique<ChatPage>(contact);
        page->SetDetailsOpener(detailsOpener_);
    }
    return page.get();
}

ChatPage* ChatPages::Find(const CContact* contact) const {
    auto it = pages_.find(contact);
    return it == pages_.end() ? nullptr : it->second.get();
}

ViewPage* ChatPages::PageFor(const ContactPtr& contact) {
    return For(contact);
}

bool ChatPages::Shown(const CContact* contact) const {
    const ChatPage* chat = Find(contact);
    return chat != nullptr && chat->Host() != nullptr;
}

void ChatPages::KeepOnly(const std::unordered_set<const CContact*>& present, Leaving& leaving) {
    for (auto it = pages_.begin(); it != pages_.end();) {
        if (present.count(it->first) != 0) {
            ++it;
            continue;
        }
        leaving.pages_.push_back(std::move(it->second));
        it = pages_.erase(it);
    }
}

void ChatPages::Drop(const CContact* contact) {
    pages_.erase(contact);
}

void ChatPages::Clear() {
    pages_.clear();
}

}  // namespace zul
