// The MQTT client of the bridge: libmosquitto driven from a network thread
// of our own, which runs the client's loop in short rounds and makes every
// reconnect itself, so that no fault (a name that does not resolve for a
// while, a TLS handshake that fails once) ends the bridge's link to the
// broker, and a stop never waits out a backoff.
#include "tools/tz52/bridge/mqtt/mqtt_link.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "tools/common/cli/quoted.h"
#include "tools/tz52/bridge/core/face_thread.h"
#include "tools/tz52/bridge/mqtt/set_judgement.h"
#include "tools/tz52/host/log_line.h"

namespace {

constexpr int kKeepAliveSeconds = 30;
constexpr int kQos = 1;
// Backoff between attempts to reach the broker: doubles from the first to
// the longest and starts again after a connection was accepted.
constexpr int64_t kFirstRetryMs = 1000;
constexpr int64_t kLongestRetryMs = 30000;
// Clears whose echo is still due, at most (see Clear).
constexpr size_t kMostClearsAwaited = 256;
// The most of a set's payload kept (see OnMessage).
constexpr size_t kLongestSetPayload = 256;
// How long a clean stop waits for the broker to take `offline`, and for the
// network thread to end (it may be inside a connect to a host that does not
// answer).
constexpr int64_t kOfflineWaitMs = 2000;
constexpr int64_t kNetworkEndWaitMs = 3000;
// The largest packet the bridge takes, told to an MQTT 5 broker, which then
// drops a larger message for it instead of sending it: a set is a few
// digits, and its topic the prefix and a point.
constexpr size_t kLargestPacketBeyondPrefix = 4096;
// A failure that repeats is logged again with its count this often.
constexpr int64_t kRepeatedFailureLogMs = 10 * 60 * 1000;
// The most of a libmosquitto error line kept for the log.
constexpr size_t kLongestLibraryError = 300;

std::once_flag g_libraryReady;

std::string ErrorText(int code, int systemError) {
    if (code == MOSQ_ERR_ERRNO) return std::strerror(systemError);
    return mosquitto_strerror(code);
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

MqttLink::MqttLink(std::function<void(SetRequest)> onSet, std::function<void(bool)> onConnection)
    : onSet_(std::move(onSet)), onConnection_(std::move(onConnection)) {}

MqttLink::MqttLink(MqttLinkRole role, std::function<void(bool)> onConnection)
    : role_(std::move(role)), onConnection_(std::move(onConnection)) {}

MqttLink::~MqttLink() {
    // A thread that would not end still uses the client: leave it be.
    if (network_.joinable() && !Stop()) return;
    if (client_ != nullptr) mosquitto_destroy(client_);
    mosquitto_property_free_all(&connectProperties_);
}

bool MqttLink::Start(const MqttSettings& settings, std::string* error) {
    std::call_once(g_libraryReady, [] { mosquitto_lib_init(); });
    settings_ = settings;
    statusTopic_ = settings.topicPrefix + "/status";
    // A clean session: what the bridge needs after a reconnect it publishes
    // again itself, and its subscription is made on every connect.
    client_ = mosquitto_new(settings.clientId.empty() ? nullptr : settings.clientId.c_str(), true, this);
    if (client_ == nullptr) {
        *error = std::string("cannot create the MQTT client: ") + std::strerror(errno);
        return false;
    }
    mosquitto_threaded_set(client_, true);
    const size_t largestPacket = kLargestPacketBeyondPrefix + (role_.will ? role_.longestPayload : settings.topicPrefix.size());
    int code = mosquitto_property_add_int32(&connectProperties_, MQTT_PROP_MAXIMUM_PACKET_SIZE,
                                            static_cast<uint32_t>(std::min<size_t>(largestPacket, UINT32_MAX)));
    if (code != MOSQ_ERR_SUCCESS) {
        *error = std::string("cannot set the MQTT client up for MQTT 5: ") + mosquitto_strerror(code);
        return false;
    }
    // A face's own will is set before every connect (Connect).
    code = role_.will ? MOSQ_ERR_SUCCESS : mosquitto_will_set(client_, statusTopic_.c_str(), 7, "offline", kQos, true);
    if (code != MOSQ_ERR_SUCCESS) {
        *error = "cannot set the last will on " + statusTopic_ + ": " + mosquitto_strerror(code);
        return false;
    }
    if (!settings.user.empty()) {
        code = mosquitto_username_pw_set(client_, settings.user.c_str(),
                                         settings.password.empty() ? nullptr : settings.password.c_str());
        if (code != MOSQ_ERR_SUCCESS) {
            *error = std::string("cannot set the MQTT user: ") + mosquitto_strerror(code);
            return false;
        }
    }
    if (!SetUpTls(error)) return false;
    mosquitto_connect_v5_callback_set(client_, OnConnect);
    mosquitto_log_callback_set(client_, OnLog);
    mosquitto_disconnect_callback_set(client_, OnDisconnect);
    mosquitto_publish_callback_set(client_, OnPublish);
    mosquitto_message_callback_set(client_, OnMessage);
    network_ = StartFaceThread([this] { RunNetwork(); });
    return true;
}

bool MqttLink::SetUpTls(std::string* error) {
    if (settings_.tlsCaFile.empty()) return true;
    for (const auto& [option, path] : {std::pair<const char*, const std::string&>{"--mqtt-tls-ca", settings_.tlsCaFile},
                                       {"--mqtt-tls-cert", settings_.tlsCertFile},
                                       {"--mqtt-tls-key", settings_.tlsKeyFile}}) {
        if (!path.empty() && access(path.c_str(), R_OK) != 0) {
            *error = std::string(option) + " " + Quoted(path) + ": " + std::strerror(errno);
            return false;
        }
    }
    const bool withCertificate = !settings_.tlsCertFile.empty();
    int code = mosquitto_tls_set(client_, settings_.tlsCaFile.c_str(), nullptr,
                                 withCertificate ? settings_.tlsCertFile.c_str() : nullptr,
                                 withCertificate ? settings_.tlsKeyFile.c_str() : nullptr,
                                 withCertificate ? OnKeyPassword : nullptr);
    if (code != MOSQ_ERR_SUCCESS) {
        *error = "--mqtt-tls-ca " + Quoted(settings_.tlsCaFile) + (withCertificate ? " with --mqtt-tls-cert" : "") +
                 ": the certificates do not load (" + mosquitto_strerror(code) + ")";
        return false;
    }
    code = mosquitto_tls_insecure_set(client_, settings_.tlsInsecureAnyHostName);
    if (code != MOSQ_ERR_SUCCESS) {
        *error = std::string("cannot set the broker's host name check: ") + mosquitto_strerror(code);
        return false;
    }
    return true;
}

// OpenSSL asks for the key's password here when it reads the key, with
// the client as its userdata.
int MqttLink::OnKeyPassword(char* buffer, int size, int, void* client) {
    const MqttLink* link = static_cast<const MqttLink*>(mosquitto_userdata(static_cast<mosquitto*>(client)));
    const std::string& password = link->settings_.tlsKeyPassword;
    if (size <= 0 || password.size() >= static_cast<size_t>(size)) return 0;
    std::memcpy(buffer, password.data(), password.size());
    buffer[password.size()] = '\0';
    return static_cast<int>(password.size());
}

int MqttLink::Connect() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        attemptFailure_.clear();
        libraryError_.clear();
    }
    const bool mqtt5 = protocol_.load() == kMqtt5;
    if (role_.will) {
        const MqttMessage will = role_.will();
        const int code = mosquitto_will_set(client_, will.topic.c_str(), static_cast<int>(will.payload.size()),
                                            will.payload.data(), kQos, will.retain);
        if (code != MOSQ_ERR_SUCCESS) return code;
    }
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, protocol_.load());
    return mosquitto_connect_bind_v5(client_, settings_.host.c_str(), settings_.port, kKeepAliveSeconds, nullptr,
                                     mqtt5 ? connectProperties_ : nullptr);
}

void MqttLink::RunNetwork() {
    int64_t retryMs = kFirstRetryMs;
    int code = Connect();
    int systemError = errno;
    for (;;) {
        bool wasConnected = false;
        if (code == MOSQ_ERR_SUCCESS) {
            // Short rounds, so that a stop is seen at once; a publish from
            // the polling thread wakes the round early. A stop lets the
            // rounds go on until the DISCONNECT is out and the socket closed.
            code = mosquitto_loop(client_, 100, 1);
            systemError = errno;
            if (code == MOSQ_ERR_SUCCESS) {
                if (connected_.load()) retryMs = kFirstRetryMs;
                if (stopping_.load() && !connected_.load()) break;
                continue;
            }
        }
        if (stopping_.load()) break;
        connected_ = false;
        std::string refusal, libraryError;
        bool refusedMqtt5 = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            refusal = attemptFailure_;
            libraryError = libraryError_;
            refusedMqtt5 = refusedMqtt5_;
            refusedMqtt5_ = false;
            wasConnected = lostConnection_;
            lostConnection_ = false;
        }
        if (refusedMqtt5) {
            protocol_ = kMqtt311;
            Report(LogLevel::kNotice, "the broker " + settings_.host + ":" + std::to_string(settings_.port) +
                                          " does not take MQTT 5; connecting with MQTT 3.1.1, which cannot tell a "
                                          "retained set from a live one: every set topic is cleared after its set");
            code = Connect();
            systemError = errno;
            continue;
        }
        // A loss was said when it happened (OnDisconnect); a refusal is the
        // broker's reason, anything else the library's with its cause.
        if (!wasConnected) {
            std::string reason = refusal;
            // The broker said no: a setting to mend, not a network to wait for.
            const LogLevel level = refusal.empty() ? LogLevel::kWarning : LogLevel::kError;
            if (reason.empty()) {
                reason = "cannot reach the broker " + settings_.host + ":" + std::to_string(settings_.port) + " (" +
                         ErrorText(code, systemError) + (libraryError.empty() ? "" : " " + libraryError) + ")";
            }
            ReportFailure(level, reason);
        }
        Pause(retryMs);
        retryMs = std::min(retryMs * 2, kLongestRetryMs);
        if (stopping_.load()) break;
        code = Connect();
        systemError = errno;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    networkEnded_ = true;
    changed_.notify_all();
}

void MqttLink::ReportFailure(LogLevel level, const std::string& reason) {
    std::unique_lock<std::mutex> lock(mutex_);
    const int64_t now = NowMs();
    if (reason != failure_) {
        failure_ = reason;
        failureRepeats_ = 0;
        failureLoggedMs_ = now;
        lock.unlock();
        Report(level, reason + "; trying again, waiting up to " + std::to_string(kLongestRetryMs / 1000) +
                                       " s between attempts");
        return;
    }
    ++failureRepeats_;
    if (now - failureLoggedMs_ < kRepeatedFailureLogMs) return;
    const uint64_t repeats = failureRepeats_;
    failureRepeats_ = 0;
    failureLoggedMs_ = now;
    lock.unlock();
    Report(level, "still " + reason + " (" + std::to_string(repeats) +
                                   (repeats == 1 ? " more attempt" : " more attempts") + " in the last " +
                                   std::to_string(kRepeatedFailureLogMs / 60000) + " min)");
}

std::string MqttLink::NotConnectedReason() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
}

void MqttLink::OnLog(mosquitto*, void* self, int level, const char* text) {
    if (level != MOSQ_LOG_ERR || text == nullptr) return;
    MqttLink* link = static_cast<MqttLink*>(self);
    std::lock_guard<std::mutex> lock(link->mutex_);
    // OpenSSL's reason of a failed handshake comes this way only.
    link->libraryError_ = Printable(std::string(text).substr(0, kLongestLibraryError));
}

void MqttLink::OnConnect(mosquitto* client, void* self, int code, int, const mosquitto_property*) {
    MqttLink* link = static_cast<MqttLink*>(self);
    const std::string broker = link->settings_.host + ":" + std::to_string(link->settings_.port);
    const bool mqtt5 = link->protocol_.load() == kMqtt5;
    if (code != 0) {
        std::lock_guard<std::mutex> lock(link->mutex_);
        // A 3.1.1 broker answers MQTT 5 with "unacceptable protocol version".
        if (mqtt5 && (code == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION || code == CONNACK_REFUSED_PROTOCOL_VERSION)) {
            link->refusedMqtt5_ = true;
        } else {
            link->attemptFailure_ = "the broker " + broker + " refused the connection: " +
                                    (mqtt5 ? mosquitto_reason_string(code) : mosquitto_connack_string(code));
        }
        return;
    }
    if (link->role_.will) {
        for (const std::string& topic : link->role_.subscriptions) {
            mosquitto_subscribe_v5(client, nullptr, topic.c_str(), kQos, 0, nullptr);
        }
        {
            std::lock_guard<std::mutex> lock(link->mutex_);
            link->connected_ = true;
            link->failure_.clear();
            link->failureRepeats_ = 0;
        }
        ++link->connections_;
        link->Report(LogLevel::kNotice, "connected to the broker " + broker + (mqtt5 ? " (MQTT 5" : " (MQTT 3.1.1") +
                                            ", " + Printable(link->settings_.clientId) + ")");
        if (link->onConnection_) link->onConnection_(true);
        return;
    }
    const std::string setTopic = SetTopicFilter(link->settings_.topicPrefix);
    // Retain as published: a set the broker held and one it passes on live
    // both keep their flag, so no retained set is ever written.
    mosquitto_subscribe_v5(client, nullptr, setTopic.c_str(), kQos, mqtt5 ? MQTT_SUB_OPT_RETAIN_AS_PUBLISHED : 0,
                           nullptr);
    mosquitto_publish(client, nullptr, link->statusTopic_.c_str(), 6, "online", kQos, true);
    std::deque<std::pair<std::string, std::string>> results;
    size_t dropped = 0;
    {
        std::lock_guard<std::mutex> lock(link->mutex_);
        link->connected_ = true;
        results.swap(link->resultsWaiting_);
        dropped = link->resultsDropped_;
        link->resultsDropped_ = 0;
        link->failure_.clear();
        link->failureRepeats_ = 0;
    }
    ++link->connections_;
    link->Report(LogLevel::kNotice, "connected to the broker " + broker + (mqtt5 ? " (MQTT 5)" : " (MQTT 3.1.1)"));
    for (const auto& result : results) {
        mosquitto_publish(client, nullptr, result.first.c_str(), static_cast<int>(result.second.size()),
                          result.second.data(), kQos, false);
    }
    if (!results.empty()) {
        link->Report(LogLevel::kNotice, "published " + std::to_string(results.size()) +
                                            (results.size() == 1 ? " result" : " results") +
                                            " of sets carried out while the broker was away");
    }
    if (dropped > 0) {
        link->Report(LogLevel::kWarning, std::to_string(dropped) + (dropped == 1 ? " result" : " results") +
                                             " of sets carried out while the broker was away could not be kept");
    }
    if (link->onConnection_) link->onConnection_(true);
}

void MqttLink::OnDisconnect(mosquitto*, void* self, int code) {
    MqttLink* link = static_cast<MqttLink*>(self);
    bool wasConnected = false;
    const std::string lost = "lost the broker " + link->settings_.host + ":" + std::to_string(link->settings_.port);
    {
        std::lock_guard<std::mutex> lock(link->mutex_);
        wasConnected = link->connected_.exchange(false);
        if (wasConnected) {
            link->failure_ = lost;
            link->lostConnection_ = true;
        }
        link->changed_.notify_all();
    }
    // A connection the broker refused was never there to lose.
    if (code != 0 && wasConnected && !link->stopping_.load()) {
        link->Report(LogLevel::kWarning, lost + "; polling goes on, reconnecting");
        if (link->onConnection_) link->onConnection_(false);
    }
}

void MqttLink::OnPublish(mosquitto*, void* self, int messageId) {
    MqttLink* link = static_cast<MqttLink*>(self);
    std::lock_guard<std::mutex> lock(link->mutex_);
    // Only while stopping: then the id of `offline` may come back before
    // the publish that sent it has returned it.
    if (link->collectDelivered_) {
        link->deliveredIds_.insert(messageId);
        link->changed_.notify_all();
    }
}

void MqttLink::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    MqttLink* link = static_cast<MqttLink*>(self);
    if (link->role_.will) {
        std::string payload;
        if (message->payload != nullptr && message->payloadlen > 0) {
            payload.assign(static_cast<const char*>(message->payload),
                           std::min(static_cast<size_t>(message->payloadlen), link->role_.longestPayload));
        }
        link->role_.onMessage(message->topic != nullptr ? message->topic : "", payload, message->retain);
        return;
    }
    SetRequest request;
    request.topic = message->topic != nullptr ? message->topic : "";
    request.retained = message->retain;
    request.from = "topic " + Printable(request.topic);
    if (message->payload != nullptr && message->payloadlen > 0) {
        // A value is a few digits; the broker lets a payload grow to 256 MB,
        // and every waiting set is kept and echoed in its /result. Only the
        // head of a longer one is kept, which no number fits.
        const size_t length = std::min(static_cast<size_t>(message->payloadlen), kLongestSetPayload);
        request.payload.assign(static_cast<const char*>(message->payload), length);
    }
    std::unique_lock<std::mutex> lock(link->mutex_);
    if (request.payload.empty()) {
        // The echo of a clear of ours: no set, nothing to answer.
        const auto cleared = link->clearsSent_.find(request.topic);
        if (cleared != link->clearsSent_.end()) {
            link->clearsSent_.erase(cleared);
            return;
        }
    }
    lock.unlock();
    link->onSet_(std::move(request));
}

void MqttLink::Result(const std::string& topic, const std::string& payload) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Checked under the lock OnConnect takes to send what waits: a result
        // is either sent now or among those it sends. One handed to the
        // library just before a loss the library sends after the reconnect.
        if (!connected_.load()) {
            if (resultsWaiting_.size() >= kMostResultsWaiting) {
                resultsWaiting_.pop_front();
                ++resultsDropped_;
            }
            resultsWaiting_.emplace_back(topic, payload);
            return;
        }
    }
    mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), kQos, false);
}

bool MqttLink::Publish(const std::string& topic, const std::string& payload, bool retain, int qos) {
    if (!connected_.load()) return false;
    return mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos,
                             retain) == MOSQ_ERR_SUCCESS;
}

void MqttLink::Reconnect() { mosquitto_disconnect(client_); }

void MqttLink::Clear(const std::string& topic) {
    if (!connected_.load()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Bounded: an echo that never comes (the broker refused the clear)
        // must not leave entries without end.
        if (clearsSent_.size() >= kMostClearsAwaited) clearsSent_.clear();
        clearsSent_.insert(topic);
    }
    mosquitto_publish(client_, nullptr, topic.c_str(), 0, nullptr, kQos, true);
}

void MqttLink::Pause(int64_t milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return stopping_.load(); });
}

void MqttLink::Report(LogLevel level, const std::string& message) { LogLine(level, "bridge", message); }

bool MqttLink::Stop() {
    if (!network_.joinable()) return true;
    if (connected_.load()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            collectDelivered_ = true;
        }
        int messageId = -1;
        // A clean end sends no will: the face's farewell says it instead.
        const MqttMessage farewell = role_.farewell ? role_.farewell() : MqttMessage{statusTopic_, "offline", true};
        if (mosquitto_publish(client_, &messageId, farewell.topic.c_str(), static_cast<int>(farewell.payload.size()),
                              farewell.payload.data(), kQos, farewell.retain) == MOSQ_ERR_SUCCESS) {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait_for(lock, std::chrono::milliseconds(kOfflineWaitMs),
                              [this, messageId] { return deliveredIds_.count(messageId) != 0; });
        }
    }
    // The network thread sends the DISCONNECT, so that the broker takes the
    // end as clean, and ends.
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
    lock.unlock();
    mosquitto_disconnect(client_);
    lock.lock();
    const bool ended =
        changed_.wait_for(lock, std::chrono::milliseconds(kNetworkEndWaitMs), [this] { return networkEnded_; });
    lock.unlock();
    if (!ended) {
        // Still inside a connect that nobody answers: the thread is left to
        // the end of the process, and this link with it.
        network_.detach();
        return false;
    }
    network_.join();
    return true;
}
