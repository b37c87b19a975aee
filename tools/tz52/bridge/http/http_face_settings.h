// What the HTTP face is started with: the options as given, and what the
// plan read of its files before anything starts.
#ifndef TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_FACE_SETTINGS_H
#define TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_FACE_SETTINGS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class HttpUsers;

// The files the face's options name, read by the plan.
struct HttpFiles {
    std::string tlsCertFile;
    std::string tlsKeyFile;
    std::string tlsKeyCredential;  // a name in $CREDENTIALS_DIRECTORY
    std::string usersFile;
};

struct HttpFaceSettings {
    std::string listen;          // [ADDRESS:]PORT as given; "" for no face
    std::string tlsCertificate;  // PEM text; with the key: HTTPS
    std::string tlsKey;
    std::shared_ptr<const HttpUsers> users;  // null: nobody can log in
    bool requireLogin = false;   // reads too need a logged-in user
    size_t history = 600;        // reads kept per point
    size_t maxStreams = 16;
    int64_t sessionIdleMs = 30 * 60 * 1000;
};

#endif  // TZ52_TOOLS_TZ52_BRIDGE_HTTP_HTTP_FACE_SETTINGS_H
