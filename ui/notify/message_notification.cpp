#include "ui/notify/message_notification.h"

#include <algorithm>

#include "platform/resources.h"
#include "storage/contacts.h"
#include "storage/options.h"
#include "ui/framework/main_window.h"

namespace zul {
namespace {

constexpr int kTextOpen = 125;
constexpr int kTextNewMessage = 129;
constexpr int kTextDismiss = 130;
constexpr int kContactsPage = 1;
constexpr int32_t kMaxPulseMs = 2000;
constexpr int32_t kMaxPulses = 3;

std::atomic<MessageNotification*> g_instance{nullptr};

std::u16string Wrapped(const std::u16string& text) {
    return u"<html><body>" + text + u"</body></html>";
}

}  // namespace

std::u16string EscapeMarkup(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        switch (c) {
            case u'&':
                out += u"&amp;";
                break;
            case u'<':
                out += u"&lt;";
                break;
            case u'>':
                out += u"&gt;";
                break;
            case u'"':
                out += u"&quot;";
                break;
            case u'\'':
                out += u"&#39;";
                break;
            default:
                out += c;
                break;
        }
    }
    return out;
}

std::u16string MessageBubbleText(std::u16string_view name, std::u16string_view message) {
    return u"<b>" + EscapeMarkup(name) + u"</b> " + EscapeMarkup(message);
}

MessageNotification::MessageNotification(INotificationBubble& bubble, IAlertDevices& devices)
    : bubble_(bubble), devices_(devices) {
    g_instance.store(this);
    SetNewMessageNotifier(this);
}

MessageNotification::~MessageNotification() {
    if (NewMessageNotifier() == this) SetNewMessageNotifier(nullptr);
    MessageNotification* self = this;
    g_instance.compare_exchange_strong(self, nullptr);
    {
        std::lock_guard lock(queueMutex_);
        stopping_ = true;
    }
    queueChanged_.notify_all();
    if (delivery_.joinable()) delivery_.join();  // it shows what is queued first
    alertGeneration_.fetch_add(1);               // quitting stops a running alert at once
    WaitForAlerts();
    RemoveNotification();
}

MessageNotification* MessageNotification::Instance() {
    return g_instance.load();
}

void MessageNotification::NotifyNewMessage(CContact& contact, const std::u16string& text) {
    // The history joins the name and the message into markup; both came from the network, so
    // they are taken apart again and escaped before the bubble shows them.
    const std::u16string name = contact.DisplayName();
    const std::u16string lead = u"<b>" + name + u"</b> ";
    Queued item;
    item.sender = Sender{contact.AccountID(), contact.Login()};
    item.name = name;
    if (text.starts_with(lead)) {
        item.message = text.substr(lead.size());
        item.bubble = MessageBubbleText(name, item.message);
    } else {
        item.message = text;
        item.bubble = EscapeMarkup(text);
    }
    {
        std::lock_guard lock(queueMutex_);
        if (stopping_ || queued_.size() >= kQueueLimit) return;
        lastSender_ = item.sender;
        queued_.push_back(std::move(item));
        if (!delivery_.joinable()) delivery_ = std::thread([this] { DeliveryLoop(); });
    }
    queueChanged_.notify_all();
}

void MessageNotification::NotifySeenMessage(CContact&) {
    const COptions& o = Options();
    if (!windowExists_.load() || !o.NotifSoundInChat || !o.NotifSoundOn) return;
    AlertParameters params;
    params.sound = o.NotifSound;
    params.vibrate = false;
    StartAlert(params);
}

void MessageNotification::DeliveryLoop() {
    for (;;) {
        std::vector<Queued> batch;
        {
            std::unique_lock lock(queueMutex_);
            queueChanged_.wait(lock, [this] { return !queued_.empty() || stopping_; });
            if (queued_.empty()) return;
            batch.swap(queued_);
            delivering_ = true;
        }
        {
            const COptions& o = Options();
            const std::u16string title = ResString(kTextNewMessage);
            const std::u16string dismiss = ResString(kTextDismiss);
            const std::u16string open = ResString(kTextOpen);
            std::lock_guard lock(lock_);
            if (windowExists_.load()) {
                for (const Queued& item : batch) {
                    if (sink_.show)
                        sink_.show(item.sender, item.name, item.message);
                    else
                        ShowLocked(kIcon, title, dismiss, open, item.bubble);
                }
                StartAlert(AlertParameters{o.NotifVDuration, o.NotifVCount, 1,
                                           o.NotifSoundOn ? o.NotifSound : std::u16string()});
            }
        }
        {
            std::lock_guard lock(queueMutex_);
            delivering_ = false;
        }
        queueChanged_.notify_all();
    }
}

void MessageNotification::NotifyNewMessage(int icon, const std::u16string& title,
                                           const std::u16string& firstKey,
                                           const std::u16string& secondKey,
                                           const std::u16string& text, int32_t count,
                                           int32_t duration, const std::u16string& sound) {
    std::lock_guard lock(lock_);
    if (!windowExists_.load()) return;
    ShowLocked(icon, title, firstKey, secondKey, text);
    StartAlert(AlertParameters{duration, count, 1, sound});
}

void MessageNotification::ShowLocked(int icon, const std::u16string& title,
                                     const std::u16string& firstKey,
                                     const std::u16string& secondKey, const std::u16string& text) {
    // Full power: the device is always on here, so there is nothing to switch.
    bool ok;
    if (record_.id != 0) {
        record_.flags = BubbleRecord::kFlags;
        record_.title = title;
        if (text_.size() > kTextLimit) {
            ok = bubble_.Update(record_, false);
        } else {
            text_ += u"<br>" + text;
            record_.html = Wrapped(text_);
            ok = bubble_.Update(record_, true);
        }
    } else {
        text_ = text;
        record_ = BubbleRecord{};
        record_.size = BubbleRecord::kSize;
        record_.id = BubbleRecord::kId;
        record_.priority = BubbleRecord::kPriorityInform;
        record_.duration = BubbleRecord::kUntilRemoved;
        record_.flags = BubbleRecord::kFlags;
        record_.icon = icon;
        record_.title = title;
        record_.html = Wrapped(text_);
        record_.firstKey = firstKey;
        record_.firstCommand = kCmdDismiss;
        record_.secondKey = secondKey;
        record_.secondCommand = kCmdOpen;
        ok = bubble_.Add(record_);
    }
    // A bubble that could not be shown is forgotten, so the next message starts afresh.
    if (!ok) RemoveNotification();
}

void MessageNotification::ClearLocked() {
    text_.clear();
    record_ = BubbleRecord{};
}

void MessageNotification::RemoveNotification() {
    // A running alert stops at its next slice; nothing here waits for it.
    alertGeneration_.fetch_add(1);
    devices_.StopHaptic();
    if (sink_.removeAll) sink_.removeAll();
    std::lock_guard lock(lock_);
    if (record_.id == 0) return;
    bubble_.Remove(record_);
    ClearLocked();
}

void MessageNotification::BubbleClosed() {
    std::lock_guard lock(lock_);
    ClearLocked();
}

bool MessageNotification::Shown() const {
    std::lock_guard lock(lock_);
    return record_.id != 0;
}

BubbleRecord MessageNotification::Record() const {
    std::lock_guard lock(lock_);
    return record_;
}

std::u16string MessageNotification::Text() const {
    std::lock_guard lock(lock_);
    return text_;
}

void MessageNotification::StartAlert(const AlertParameters& params) {
    std::lock_guard lock(threadsMutex_);
    // Threads of earlier alerts that have ended are joined here; the rest at destruction.
    std::erase_if(threads_, [](AlertThread& t) {
        if (!t.done->load()) return false;
        t.thread.join();
        return true;
    });
    auto done = std::make_shared<std::atomic<bool>>(false);
    // A newer alert takes over from one still pulsing.
    const uint64_t generation = alertGeneration_.fetch_add(1) + 1;
    threads_.push_back(AlertThread{std::thread([this, copy = params, done, generation] {
                                       RunAlert(copy, generation);
                                       done->store(true);
                                   }),
                                   done});
}

void MessageNotification::WaitForAlerts() {
    {
        std::unique_lock lock(queueMutex_);
        queueChanged_.wait(
            lock, [this] { return (queued_.empty() || !delivery_.joinable()) && !delivering_; });
    }
    std::vector<AlertThread> threads;
    {
        std::lock_guard lock(threadsMutex_);
        threads.swap(threads_);
    }
    for (AlertThread& t : threads)
        if (t.thread.joinable()) t.thread.join();
}

bool MessageNotification::AlertSleep(int ms, uint64_t generation) {
    constexpr int kSliceMs = 20;
    while (ms > 0) {
        if (alertGeneration_.load() != generation) return false;
        const int slice = std::min(ms, kSliceMs);
        devices_.Sleep(slice);
        ms -= slice;
    }
    return alertGeneration_.load() == generation;
}

// The sound and the pulses of one alert, one alert at a time; a removal or a newer alert ends
// it at the next slice with the vibrator off.
void MessageNotification::RunAlert(AlertParameters params, uint64_t generation) {
    std::lock_guard lock(alertMutex_);
    if (alertGeneration_.load() != generation) return;
    // The desktop's do-not-disturb: asked here, where waiting for the service blocks nobody.
    if (bubble_.Inhibited()) return;
    if (!params.sound.empty()) devices_.PlaySound(params.sound);
    if (!params.vibrate || devices_.SilentMode()) return;
    if (params.duration <= 0 || params.duration > kMaxPulseMs || params.count > kMaxPulses) return;
    if (devices_.Haptic(params.count, params.duration)) return;
    for (int32_t i = 0; i < params.count; ++i) {
        devices_.SetVibrator(params.device, true);
        const bool going = AlertSleep(params.duration, generation);
        devices_.SetVibrator(params.device, false);
        if (!going || !AlertSleep(kPauseMs, generation)) return;
    }
}

MessageNotification::Sender MessageNotification::LastSender() const {
    std::lock_guard lock(queueMutex_);
    return lastSender_;
}

void HandleNotificationCommand(
    MessageNotification& notification, MainWindow& window, int id,
    const std::function<bool(const MessageNotification::Sender&)>& openChat) {
    if (id != MessageNotification::kCmdDismiss && id != MessageNotification::kCmdOpen) return;
    const MessageNotification::Sender sender = notification.LastSender();
    notification.RemoveNotification();
    if (id != MessageNotification::kCmdOpen) return;
    window.show();
    window.raise();
    window.activateWindow();
    if (sender.accountId != 0 && openChat && openChat(sender)) return;
    if (window.CurrentIndex() != kContactsPage) window.ShowPage(MainWindow::kJump, kContactsPage);
}

}  // namespace zul
