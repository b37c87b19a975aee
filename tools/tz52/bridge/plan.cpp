// tz52 bridge: the plan, checked before anything starts: the points (file and
// command line, each address asked of the driver), the points broker users
// may write, and the broker settings.
#include "tools/tz52/bridge/bridge.h"

#include "tools/tz52/bridge/core/listen_address.h"
#include "tools/tz52/bridge/mqtt/set_judgement.h"
#ifdef TZ52_WITH_HTTP_FACE
#include "tools/tz52/bridge/http/http_face.h"
#include "tools/tz52/bridge/http/http_users.h"
#endif
#ifdef TZ52_WITH_SPARKPLUG
#include "tools/tz52/bridge/sparkplug/sparkplug_topics.h"
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef TZ52_WITH_OPENSSL
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#endif

#include "tools/common/cli/quoted.h"
#include "tools/common/text/text_input.h"
#include "tools/common/text/trim.h"
#include "tools/tz52/command_line.h"
#include "tools/tz52/host/log_line.h"
#include "tools/tz52/host/point_types.h"

namespace {

bool ReadPointsFile(QmxMainFunction entry, const std::string& path, int64_t defaultPeriod,
                    std::vector<BridgePoint>* points, PointOrigins* origins, std::string* error, int* exitCode) {
    // Read whole before any of it is used: a read error or a device that
    // never ends is no shorter points file.
    std::vector<std::string> lines;
    if (!ReadTextLines(path, TextLimits{}, &lines, error)) {
        *error = "--points " + *error;
        *exitCode = kExitFileError;
        return false;
    }
    return ParseBridgePoints(entry, lines, path, defaultPeriod, points, origins, error);
}

bool TakeCommandLinePoints(QmxMainFunction entry, const BridgeOptions& options, BridgePlan* plan,
                           PointOrigins* origins, std::string* error) {
    for (const ListedPoint& point : options.listed) {
        if (!ParseBridgePointLine(entry, point.text, point.where, options.everyMilliseconds, &plan->points, origins,
                                  error)) {
            return false;
        }
    }
    for (const std::string& text : options.addresses) {
        if (!AddBridgePoint(entry, text, options.everyMilliseconds, "the command line", "", "given", &plan->points,
                            origins, error)) {
            return false;
        }
    }
    return true;
}

bool ParseAllowWrite(QmxMainFunction entry, const std::string& list, BridgePlan* plan, std::string* error) {
    if (list.empty()) return true;
    if (list == "all") {
        plan->allowAll = true;
        return true;
    }
    std::istringstream items(list);
    for (std::string item; std::getline(items, item, ',');) {
        item = Trim(item);
        const CheckedAddress address = CheckAddress(entry, item);
        if (address.result != kResultOk) {
            *error = "--allow-write: " + Quoted(item) + " is not a valid point address: " + AddressRefusalReason(address);
            return false;
        }
        if (!IsWritableType(address.pointType)) {
            *error = "--allow-write: " + CanonicalAddress(address) + " is an input (type " +
                     PointTypeLetter(address.pointType) + "); only C, M, O and S points can be written";
            return false;
        }
        plan->allowed.insert(CanonicalAddress(address));
    }
    return true;
}

// The first line of a regular file. A directory or a device would give
// no password or one without end; the broker would then be tried without.
// `option` names where the path came from in messages.
bool ReadPassword(const std::string& path, const std::string& optionName, std::string* password, std::string* error) {
    const std::string option = optionName + " " + Quoted(path);
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        *error = option + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        *error = option + ": not a regular file";
        return false;
    }
    const TextLimits limits{1024, 64 * 1024, 1};  // line bytes, file bytes, lines
    std::vector<std::string> lines;
    if (!ReadTextLines(path, limits, &lines, error)) {
        *error = optionName + " " + *error;
        return false;
    }
    *password = lines.empty() ? "" : lines[0];
    if ((status.st_mode & S_IROTH) != 0) {
        LogLine(LogLevel::kWarning, "bridge",
                "warning: " + option + " can be read by every user of this machine (chmod o-r)");
    }
    return true;
}

// systemd's LoadCredential= puts each credential into a file of its name in
// $CREDENTIALS_DIRECTORY, readable by the service alone. Outside the unit
// (a user's --check after an edit) there is none to read: *path stays empty
// and the check says so.
bool CredentialPath(const std::string& optionName, const std::string& name, bool checkOnly, std::string* path,
                    std::string* error) {
    const std::string option = optionName + " " + Quoted(name);
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        *error = option + ": a credential name is not empty and has no /";
        return false;
    }
    const char* directory = std::getenv("CREDENTIALS_DIRECTORY");
    if (directory == nullptr || *directory == '\0') {
        if (checkOnly) {
            LogLine(LogLevel::kNotice, "bridge",
                    option + ": not checked: the credential is there only for the unit (LoadCredential=, "
                             "CREDENTIALS_DIRECTORY is not set here)");
            return true;
        }
        *error = option + ": CREDENTIALS_DIRECTORY is not set (systemd sets it for a unit with LoadCredential=)";
        return false;
    }
    *path = std::string(directory) + "/" + name;
    return true;
}

// The certificates of a PEM file that parse, in order, up to the first that
// does not; without OpenSSL, the PEM blocks that say they hold one. *reason
// gets OpenSSL's reason when none does.
size_t CountCertificates(const std::string& text, std::string* reason) {
#ifdef TZ52_WITH_OPENSSL
    BIO* input = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    if (input == nullptr) return 0;
    size_t count = 0;
    ERR_clear_error();
    for (X509* certificate; (certificate = PEM_read_bio_X509(input, nullptr, nullptr, nullptr)) != nullptr;) {
        X509_free(certificate);
        ++count;
    }
    const unsigned long failure = ERR_peek_last_error();
    if (count == 0 && failure != 0 && ERR_GET_REASON(failure) != PEM_R_NO_START_LINE) {
        char buffer[256];
        ERR_error_string_n(failure, buffer, sizeof buffer);
        *reason = buffer;
    }
    ERR_clear_error();
    BIO_free(input);
    return count;
#else
    (void)reason;
    size_t count = 0;
    const std::string head = "-----BEGIN CERTIFICATE-----";
    for (size_t at = text.find(head); at != std::string::npos; at = text.find(head, at + 1)) ++count;
    return count;
#endif
}

// The CA file, read whole before the broker is tried: a file that trusts no
// one (empty, no PEM, a directory, a device) would fail every connect with
// no more than "a TLS error"; it stops the bridge at the start instead. Opened
// without blocking, so that a FIFO cannot hang the start.
bool ReadPemFile(const std::string& optionName, const std::string& path, std::string* pem, std::string* error) {
    constexpr off_t kLargestCaFile = 4 << 20;  // Debian's whole bundle is a quarter of this
    const std::string option = optionName + " " + Quoted(path);
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = option + ": " + std::strerror(errno);
        return false;
    }
    struct stat status {};
    std::string text, problem;
    if (fstat(fd, &status) != 0) {
        problem = option + ": " + std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        problem = option + ": not a regular file; give a file of PEM blocks";
    } else if (status.st_size > kLargestCaFile) {
        problem = option + ": larger than " + std::to_string(kLargestCaFile >> 20) + " MiB; no file of certificates is";
    } else {
        char buffer[65536];
        for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) != 0;) {
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                problem = option + ": " + std::strerror(errno);
                break;
            }
            text.append(buffer, static_cast<size_t>(got));
            if (text.size() > static_cast<size_t>(kLargestCaFile)) {
                problem = option + ": grew beyond " + std::to_string(kLargestCaFile >> 20) + " MiB while read";
                break;
            }
        }
    }
    close(fd);
    if (!problem.empty()) {
        *error = problem;
        return false;
    }
    *pem = std::move(text);
    return true;
}

bool CheckCaFile(const std::string& path, std::string* error) {
    const std::string option = "--mqtt-tls-ca " + Quoted(path);
    std::string text;
    if (!ReadPemFile("--mqtt-tls-ca", path, &text, error)) return false;
    std::string reason;
    if (CountCertificates(text, &reason) == 0) {
        *error = option + ": holds no certificate (PEM, -----BEGIN CERTIFICATE-----)" +
                 (reason.empty() ? "" : ": " + reason);
        return false;
    }
    return true;
}

// ---- the client certificate

#ifdef TZ52_WITH_OPENSSL
// OpenSSL's reason of the last failure, or `otherwise`.
std::string OpenSslReason(const char* otherwise) {
    const unsigned long failure = ERR_peek_last_error();
    ERR_clear_error();
    if (failure == 0) return otherwise;
    char buffer[256];
    ERR_error_string_n(failure, buffer, sizeof buffer);
    return buffer;
}

int KeyPassword(char* buffer, int size, int, void* given) {
    const std::string& password = *static_cast<const std::string*>(given);
    if (size <= 0 || password.size() >= static_cast<size_t>(size)) return 0;
    std::memcpy(buffer, password.data(), password.size());
    return static_cast<int>(password.size());
}

// The certificate parses and has not expired, the key opens with its
// password and is the certificate's: else the broker would refuse every
// connect with no more than "a TLS error".
bool CheckCertificateAndKey(const std::string& certPem, const std::string& keyPem, const MqttSettings& mqtt,
                            const std::string& keyOptionName, std::string* error) {
    const std::string certOption = "--mqtt-tls-cert " + Quoted(mqtt.tlsCertFile);
    const std::string keyOption = keyOptionName + " " + Quoted(mqtt.tlsKeyFile);
    ERR_clear_error();
    BIO* certInput = BIO_new_mem_buf(certPem.data(), static_cast<int>(certPem.size()));
    X509* certificate = certInput == nullptr ? nullptr : PEM_read_bio_X509(certInput, nullptr, nullptr, nullptr);
    BIO_free(certInput);
    if (certificate == nullptr) {
        *error = certOption + ": holds no certificate (PEM, -----BEGIN CERTIFICATE-----): " +
                 OpenSslReason("no PEM block");
        return false;
    }
    bool good = true;
    if (X509_cmp_current_time(X509_get0_notAfter(certificate)) < 0) {
        *error = certOption + ": the certificate has expired";
        good = false;
    }
    EVP_PKEY* key = nullptr;
    if (good) {
        BIO* keyInput = BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size()));
        std::string password = mqtt.tlsKeyPassword;
        key = keyInput == nullptr ? nullptr : PEM_read_bio_PrivateKey(keyInput, nullptr, KeyPassword, &password);
        BIO_free(keyInput);
        if (key == nullptr) {
            *error = keyOption + ": the key does not load" +
                     (mqtt.tlsKeyPassword.empty() ? " (if it has a password, give it)" : " with the password given") +
                     ": " + OpenSslReason("no PEM key");
            good = false;
        }
    }
    if (good && X509_check_private_key(certificate, key) != 1) {
        ERR_clear_error();
        *error = keyOption + ": not the key of the certificate " + Quoted(mqtt.tlsCertFile);
        good = false;
    }
    EVP_PKEY_free(key);
    X509_free(certificate);
    return good;
}
#endif

// The key file is read as the password files are: a warning when every user
// may read it.
bool CheckKeyFile(const std::string& optionName, const std::string& path, std::string* pem, std::string* error) {
    if (!ReadPemFile(optionName, path, pem, error)) return false;
    struct stat status {};
    if (stat(path.c_str(), &status) == 0 && (status.st_mode & S_IROTH) != 0) {
        LogLine(LogLevel::kWarning, "bridge",
                "warning: " + optionName + " " + Quoted(path) + " can be read by every user of this machine (chmod o-r)");
    }
    return true;
}

// --mqtt-tls-cert with its key (a file or a systemd credential) and the
// key's password (a file or a credential), checked at the start.
bool CheckClientCertificate(const BridgeOptions& options, MqttSettings* mqtt, std::string* error) {
    const bool keyGiven = !mqtt->tlsKeyFile.empty() || !options.mqttTlsKeyCredential.empty();
    const bool passwordGiven = !options.mqttTlsKeyPasswordFile.empty() || !options.mqttTlsKeyPasswordCredential.empty();
    if (mqtt->tlsCertFile.empty()) {
        if (keyGiven || passwordGiven) {
            *error = "a client key (--mqtt-tls-key, --mqtt-tls-key-credential, its password) needs --mqtt-tls-cert";
            return false;
        }
        return true;
    }
    if (mqtt->tlsCaFile.empty()) {
        *error = "--mqtt-tls-cert needs --mqtt-tls-ca: the authority the broker's certificate is checked against";
        return false;
    }
    if (!mqtt->tlsKeyFile.empty() == !options.mqttTlsKeyCredential.empty()) {
        *error = "--mqtt-tls-cert needs its key: give one of --mqtt-tls-key and --mqtt-tls-key-credential";
        return false;
    }
    if (!options.mqttTlsKeyPasswordFile.empty() && !options.mqttTlsKeyPasswordCredential.empty()) {
        *error = "--mqtt-tls-key-password-file and --mqtt-tls-key-password-credential: give one of them";
        return false;
    }
    std::string keyOption = "--mqtt-tls-key";
    if (!options.mqttTlsKeyCredential.empty()) {
        keyOption = "--mqtt-tls-key-credential";
        if (!CredentialPath(keyOption, options.mqttTlsKeyCredential, options.checkOnly, &mqtt->tlsKeyFile, error)) {
            return false;
        }
    }
    if (!options.mqttTlsKeyPasswordFile.empty() &&
        !ReadPassword(options.mqttTlsKeyPasswordFile, "--mqtt-tls-key-password-file", &mqtt->tlsKeyPassword, error)) {
        return false;
    }
    bool passwordUnread = false;
    if (!options.mqttTlsKeyPasswordCredential.empty()) {
        std::string path;
        const std::string option = "--mqtt-tls-key-password-credential";
        if (!CredentialPath(option, options.mqttTlsKeyPasswordCredential, options.checkOnly, &path, error)) {
            return false;
        }
        passwordUnread = path.empty();
        if (!path.empty() && !ReadPassword(path, option, &mqtt->tlsKeyPassword, error)) return false;
    }
    std::string certPem, keyPem;
    if (!ReadPemFile("--mqtt-tls-cert", mqtt->tlsCertFile, &certPem, error)) return false;
    // A credential outside its unit (--check): there is no key, or no
    // password, to try.
    if (mqtt->tlsKeyFile.empty() || passwordUnread) return true;
    if (!CheckKeyFile(keyOption, mqtt->tlsKeyFile, &keyPem, error)) return false;
#ifdef TZ52_WITH_OPENSSL
    return CheckCertificateAndKey(certPem, keyPem, *mqtt, keyOption, error);
#else
    return true;
#endif
}

bool CheckBrokerSettings(const BridgeOptions& options, MqttSettings* mqtt, std::string* error) {
    *mqtt = options.mqtt;
    if (!CheckTopicPrefix(options.mqtt.topicPrefix, &mqtt->topicPrefix, error)) return false;
    if (!mqtt->tlsCaFile.empty() && !CheckCaFile(mqtt->tlsCaFile, error)) return false;
    if (!CheckClientCertificate(options, mqtt, error)) return false;
    if (mqtt->tlsInsecureAnyHostName && mqtt->tlsCaFile.empty()) {
        *error = "--mqtt-tls-insecure-any-host-name needs --mqtt-tls-ca";
        return false;
    }
    if (!options.mqttPasswordFile.empty()) {
        if (mqtt->user.empty()) {
            *error = "--mqtt-password-file needs --mqtt-user";
            return false;
        }
        if (!options.mqttPasswordCredential.empty()) {
            *error = "--mqtt-password-file and --mqtt-password-credential: give one of them";
            return false;
        }
        if (!ReadPassword(options.mqttPasswordFile, "--mqtt-password-file", &mqtt->password, error)) return false;
    }
    if (!options.mqttPasswordCredential.empty()) {
        if (mqtt->user.empty()) {
            *error = "--mqtt-password-credential needs --mqtt-user";
            return false;
        }
        std::string path;
        if (!CredentialPath("--mqtt-password-credential", options.mqttPasswordCredential, options.checkOnly, &path,
                            error)) {
            return false;
        }
        if (!path.empty() && !ReadPassword(path, "--mqtt-password-credential", &mqtt->password, error)) return false;
    }
    if (mqtt->clientId.empty()) {
        char host[64] = "";
        gethostname(host, sizeof host - 1);
        mqtt->clientId = std::string("tz52-bridge-") + host + "-" + std::to_string(getpid());
    }
    return true;
}

// ---- the Sparkplug B face

bool CheckSparkplugSettings(const BridgeOptions& options, SparkplugSettings* sparkplug, std::string* error) {
    *sparkplug = options.sparkplug;
    if (sparkplug->group.empty()) {
        if (options.sparkplugOnly || !sparkplug->primaryHost.empty()) {
            *error = std::string(options.sparkplugOnly ? "--sparkplug-only" : "--sparkplug-primary-host") +
                     " needs --sparkplug-group";
            return false;
        }
        return true;
    }
    if (options.noMqtt) {
        *error = "--sparkplug-group needs the broker: it cannot go with --no-mqtt";
        return false;
    }
#ifdef TZ52_WITH_SPARKPLUG
    return CheckSparkplugId(sparkplug->group, "--sparkplug-group", error) &&
           CheckSparkplugId(sparkplug->node, "the edge node id (the line's name)", error) &&
           (sparkplug->primaryHost.empty() || CheckSparkplugId(sparkplug->primaryHost, "--sparkplug-primary-host", error));
#else
    *error = "--sparkplug-group: this tz52 is built without Sparkplug B (protobuf)";
    return false;
#endif
}

bool CheckModbusSettings(const BridgeOptions& options, ModbusSettings* modbus, std::string* error) {
    *modbus = options.modbus;
    if (options.noMqtt && modbus->listen.empty() && options.http.listen.empty()) {
        *error = "--no-mqtt needs --modbus-listen or --http-listen: without the broker and another face nobody sees "
                 "the points";
        return false;
    }
    if (modbus->listen.empty()) return true;
    std::string address;
    int port = 0;
    return ParseListenAddress("--modbus-listen", modbus->listen, &address, &port, error);
}

// The HTTP face's settings: its address, its certificate and key (the key
// also as a credential), its users.
bool CheckHttpSettings(const BridgeOptions& options, HttpFaceSettings* http, std::string* error, int* exitCode) {
    *http = options.http;
    const HttpFiles& files = options.httpFiles;
    if (http->listen.empty()) {
        const char* needs = !files.usersFile.empty()       ? "--http-users"
                            : !files.tlsCertFile.empty()    ? "--http-tls-cert"
                            : !files.tlsKeyFile.empty()     ? "--http-tls-key"
                            : !files.tlsKeyCredential.empty() ? "--http-tls-key-credential"
                            : http->requireLogin            ? "--http-require-login"
                                                            : nullptr;
        if (needs == nullptr) return true;
        *error = std::string(needs) + " needs --http-listen";
        return false;
    }
#ifndef TZ52_WITH_HTTP_FACE
    *error = "--http-listen: this tz52 is built without the HTTP face (libmicrohttpd-dev, libcrypt-dev)";
    return false;
#else
    std::string address;
    int port = 0;
    if (!ParseListenAddress("--http-listen", http->listen, &address, &port, error)) return false;
    if (!files.tlsKeyFile.empty() && !files.tlsKeyCredential.empty()) {
        *error = "--http-tls-key and --http-tls-key-credential: give one of them";
        return false;
    }
    const bool key = !files.tlsKeyFile.empty() || !files.tlsKeyCredential.empty();
    if (files.tlsCertFile.empty() != !key) {
        *error = "HTTPS needs both --http-tls-cert and its key (--http-tls-key or --http-tls-key-credential)";
        return false;
    }
    if (!files.tlsCertFile.empty()) {
        *exitCode = kExitFileError;
        if (!ReadPemFile("--http-tls-cert", files.tlsCertFile, &http->tlsCertificate, error)) return false;
        std::string keyPath = files.tlsKeyFile;
        const char* option = "--http-tls-key";
        if (!files.tlsKeyCredential.empty()) {
            *exitCode = kExitUsage;
            option = "--http-tls-key-credential";
            if (!CredentialPath(option, files.tlsKeyCredential, options.checkOnly, &keyPath, error)) return false;
        }
        *exitCode = kExitFileError;
        if (!keyPath.empty() && !ReadPemFile(option, keyPath, &http->tlsKey, error)) return false;
        *exitCode = kExitUsage;
    }
    if (!files.usersFile.empty()) {
        auto users = std::make_shared<HttpUsers>();
        std::vector<std::string> warnings;
        if (!ReadHttpUsersFile(files.usersFile, users.get(), &warnings, error, exitCode)) return false;
        for (const std::string& warning : warnings) LogLine(LogLevel::kWarning, "bridge", warning);
        http->users = users;
    }
    *exitCode = kExitUsage;
    if (http->requireLogin && !http->users) {
        *error = "--http-require-login needs --http-users: else nobody could read";
        return false;
    }
    if (http->requireLogin && files.tlsCertFile.empty() && !IsLoopbackAddress(address)) {
        *error = "--http-require-login on " + address +
                 " needs HTTPS (--http-tls-cert): logins are refused over plain HTTP there";
        return false;
    }
    return true;
#endif
}

}  // namespace

std::string BridgeLineName(const std::string& configFile, const std::string& portName) {
    std::string name = configFile.empty() ? portName : configFile;
    const size_t slash = name.find_last_of('/');
    if (slash != std::string::npos) name.erase(0, slash + 1);
    const std::string suffix = ".conf";
    if (!configFile.empty() && name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        name.resize(name.size() - suffix.size());
    }
    for (char& c : name) {
        if (c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '_';
    }
    return name;
}

bool PrepareBridge(QmxMainFunction entry, const BridgeOptions& options, BridgePlan* plan, std::string* error,
                   int* exitCode) {
    int unused = 0;
    if (exitCode == nullptr) exitCode = &unused;
    *exitCode = kExitUsage;
    PointOrigins origins;
    if (!options.pointsFile.empty() && !ReadPointsFile(entry, options.pointsFile, options.everyMilliseconds,
                                                       &plan->points, &origins, error, exitCode)) {
        return false;
    }
    if (!TakeCommandLinePoints(entry, options, plan, &origins, error)) return false;
    // A Modbus face polls what its clients read; a broker alone needs points.
    if (plan->points.empty() && (options.modbus.listen.empty() || options.modbus.demandPoints == 0)) {
        *error = "no points to poll: give --points FILE or point addresses (or --modbus-listen, whose clients' reads "
                 "name the points to poll, unless --modbus-demand-points is 0)";
        return false;
    }
    if (!ParseAllowWrite(entry, options.allowWrite, plan, error)) return false;
    if (!CheckModbusSettings(options, &plan->modbus, error)) return false;
    if (!CheckHttpSettings(options, &plan->http, error, exitCode)) return false;
    if (!options.noMqtt && !CheckBrokerSettings(options, &plan->mqtt, error)) return false;
    if (!CheckSparkplugSettings(options, &plan->sparkplug, error)) return false;
    plan->mqttEnabled = !options.noMqtt && !options.sparkplugOnly;
    plan->republishMilliseconds = options.republishMilliseconds;
    plan->everyMilliseconds = options.everyMilliseconds;
    plan->healthMilliseconds = options.healthMilliseconds;
    return true;
}
