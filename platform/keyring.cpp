#include "platform/keyring.h"

#include <libsecret/secret.h>
#include <openssl/crypto.h>

#include <memory>

#include "platform/log.h"
#include "platform/text.h"

namespace zul::keyring {
namespace {

const SecretSchema* Schema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "org.zul.Password";
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0] = {"type", SECRET_SCHEMA_ATTRIBUTE_INTEGER};
        s.attributes[1] = {"login", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[2] = {"server", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &schema;
}

struct Unref {
    void operator()(gpointer p) const {
        if (p) g_object_unref(p);
    }
};
struct TableFree {
    void operator()(GHashTable* t) const {
        if (t) g_hash_table_unref(t);
    }
};
struct ValueFree {
    void operator()(SecretValue* v) const {
        if (v) secret_value_unref(v);
    }
};

using Service = std::unique_ptr<SecretService, Unref>;
using Attributes = std::unique_ptr<GHashTable, TableFree>;

// Takes a GError: its text for the caller, and the error freed.
void Take(GError*& error, std::string* why) {
    if (!error) return;
    if (why) *why = error->message ? error->message : "";
    g_error_free(error);
    error = nullptr;
}

Outcome Open(Service& service, std::string* why) {
    GError* error = nullptr;
    // A service of our own each time (not the process-wide one): a keyring daemon that was
    // restarted, or a bus that changed, is found again.
    service.reset(SECRET_SERVICE(secret_service_open_sync(
        SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, nullptr, &error)));
    if (service) return Outcome::kDone;
    Take(error, why);
    return Outcome::kUnavailable;
}

Attributes AttributesOf(const Key& key) {
    return Attributes(secret_attributes_build(Schema(), "type", key.type, "login",
                                              key.login.c_str(), "server", key.server.c_str(),
                                              nullptr));
}

void Log(const char* what, Outcome outcome, const std::string& why) {
    if (outcome == Outcome::kDone || outcome == Outcome::kNotFound) return;
    WriteLog(kGeneralLog, FromUtf8(std::string("Keyring ") + what + ": " +
                                   (outcome == Outcome::kLocked ? "locked" : "unavailable") +
                                   (why.empty() ? "" : " (" + why + ")")));
}

// Opens the service, runs `work` on it, logs what went wrong and hands the detail out.
template <typename Work>
Outcome WithService(const char* what, std::string* why, Work work) {
    std::string detail;
    Service service;
    Outcome outcome = Open(service, &detail);
    if (outcome == Outcome::kDone) outcome = work(service.get(), detail);
    Log(what, outcome, detail);
    if (why) *why = detail;
    return outcome;
}

}  // namespace

Outcome Store(const Key& key, const std::u16string& password, std::string* why) {
    return WithService("store", why, [&](SecretService* service, std::string& detail) {
        GError* error = nullptr;
        // The default keyring must be open already: storing into a locked one would make the
        // service ask the user to unlock it, from a thread nobody watches.
        std::unique_ptr<SecretCollection, Unref> collection(secret_collection_for_alias_sync(
            service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error));
        if (!collection) {
            Take(error, &detail);
            if (detail.empty()) detail = "no default keyring";
            return Outcome::kUnavailable;
        }
        if (secret_collection_get_locked(collection.get())) return Outcome::kLocked;
        std::string text = ToUtf8(password);
        std::unique_ptr<SecretValue, ValueFree> value(
            secret_value_new(text.c_str(), static_cast<gssize>(text.size()), "text/plain"));
        OPENSSL_cleanse(text.data(), text.size());
        const std::string label = "zul: " + key.login + " on " + key.server;
        Attributes attributes = AttributesOf(key);
        if (secret_service_store_sync(service, Schema(), attributes.get(),
                                      SECRET_COLLECTION_DEFAULT, label.c_str(), value.get(),
                                      nullptr, &error)) {
            return Outcome::kDone;
        }
        Take(error, &detail);
        return Outcome::kUnavailable;
    });
}

Outcome Lookup(const Key& key, std::u16string& password, std::string* why) {
    return WithService("lookup", why, [&](SecretService* service, std::string& detail) {
        GError* error = nullptr;
        Attributes attributes = AttributesOf(key);
        // Secrets are loaded only from open keyrings; a locked item comes back without one.
        GList* items = secret_service_search_sync(service, Schema(), attributes.get(),
                                                  SECRET_SEARCH_LOAD_SECRETS, nullptr, &error);
        Outcome outcome = Outcome::kNotFound;
        if (error) {
            Take(error, &detail);
            outcome = Outcome::kUnavailable;
        } else if (items) {
            auto* item = static_cast<SecretItem*>(items->data);
            std::unique_ptr<SecretValue, ValueFree> value(
                secret_item_get_locked(item) ? nullptr : secret_item_get_secret(item));
            const gchar* text = value ? secret_value_get_text(value.get()) : nullptr;
            if (text) password = FromUtf8(text);
            outcome = text ? Outcome::kDone : Outcome::kLocked;
        }
        g_list_free_full(items, g_object_unref);
        return outcome;
    });
}

Outcome Clear(const Key& key, std::string* why) {
    return WithService("clear", why, [&](SecretService* service, std::string& detail) {
        GError* error = nullptr;
        Attributes attributes = AttributesOf(key);
        if (secret_service_clear_sync(service, Schema(), attributes.get(), nullptr, &error))
            return Outcome::kDone;
        if (!error) return Outcome::kNotFound;
        Take(error, &detail);
        return Outcome::kUnavailable;
    });
}

}  // namespace zul::keyring
