// Certificates for TLS tests, made when a test runs (none are kept in the
// tree) with the tree's own scripts/certs: a site CA with a bridge
// certificate for 127.0.0.1 and localhost, a good client, an expired client,
// and a client of another site's CA. CERTS_SCRIPT names the script.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace testutil {

class SiteCerts {
  public:
    SiteCerts() {
        std::string pattern = (std::filesystem::temp_directory_path() / "certs.XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            return;
        dir_ = pattern;
        const std::string script = std::string("'") + CERTS_SCRIPT + "' ";
        const std::string quiet = " >/dev/null 2>&1";
        ok_ = std::system(
                  (script + "'" + dir_ + "' --bridge 127.0.0.1,localhost --client alice" + quiet)
                      .c_str()) == 0 &&
              std::system((script + "'" + dir_ + "' --client expired --days -1" + quiet).c_str()) ==
                  0 &&
              std::system((script + "'" + dir_ + "/other' --client mallory" + quiet).c_str()) == 0;
    }
    ~SiteCerts() {
        std::error_code ignored;
        if (!dir_.empty())
            std::filesystem::remove_all(dir_, ignored);
    }
    SiteCerts(const SiteCerts &) = delete;
    SiteCerts &operator=(const SiteCerts &) = delete;

    bool ok() const { return ok_; }
    // A file of the site: "ca.pem", "bridge.key", "alice.pem", "other/mallory.key", ...
    std::string file(const std::string &name) const { return dir_ + "/" + name; }

    // netbridged's options for TLS with client certificates of this site.
    std::vector<std::string> bridge_options() const {
        return {"--tls-cert=" + file("bridge.pem"), "--tls-key=" + file("bridge.key"),
                "--tls-client-ca=" + file("ca.pem")};
    }
    // inkctl's options for a client: "alice", "expired", "other/mallory", or
    // "" for none.
    std::vector<std::string> client_options(const std::string &client) const {
        std::vector<std::string> options = {"--tls-ca", file("ca.pem")};
        if (!client.empty())
            options.insert(options.end(), {"--tls-cert", file(client + ".pem"), "--tls-key",
                                           file(client + ".key")});
        return options;
    }

  private:
    std::string dir_;
    bool ok_ = false;
};

}  // namespace testutil
