// The reference update server (tools/update_server.py) on an ephemeral loopback port, for
// tests. It ends by itself: when this object goes (its standard input closes), or after its
// lifetime at the latest.
#ifndef KORVEL_REFERENCESERVER_H
#define KORVEL_REFERENCESERVER_H

#include <string>
#include <sys/types.h>
#include <vector>

#include "TestProcess.h"

// The Python interpreter found on PATH (absolute), or empty when there is none.
std::string pythonExe();

// Runs tools/<script> with args under the interpreter.
ProcessResult runTool(const std::string& script, const std::vector<std::string>& args);

// The sample catalogue of tools/birdwriter.py, made once per test program and removed at its
// end. Throws std::runtime_error when the writer fails.
const std::string& sampleCatalogue();

// A self-signed certificate for 127.0.0.1 (cert.pem, key.pem) made with openssl in folder.
// Throws std::runtime_error when openssl fails.
void selfSignedCertificate(const TempDir& folder);

// http://127.0.0.1:PORT/cgi/u with a loopback port on which nothing listens.
std::string closedServerUrl();

class ReferenceServer {
public:
    // Serves the catalogue folder; extra arguments go to the server (--fault, --tls-cert, ...).
    // Throws std::runtime_error when the server does not come up.
    explicit ReferenceServer(const std::string& catalogue,
                             const std::vector<std::string>& extra = {});
    ~ReferenceServer();
    ReferenceServer(const ReferenceServer&) = delete;
    ReferenceServer& operator=(const ReferenceServer&) = delete;

    int port() const { return port_; }
    // scheme://127.0.0.1:PORT/cgi/u
    std::string url(const char* scheme = "http") const;
    // Every request target received so far ("/cgi/u?op=hi&rv=2&"), in order.
    std::vector<std::string> requests() const;
    void clearRequests() const;
    // What the server wrote to its standard error.
    std::string output() const;

private:
    void stop();

    TempDir dir_;
    pid_t pid_ = -1;
    int stdin_ = -1;
    int port_ = 0;
};

#endif
