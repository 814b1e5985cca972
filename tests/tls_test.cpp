// The TLS connection as the server sees it: TLS 1.2, "ECA" only when asked
// for, the client certificate, kept contexts that follow the files on disk,
// sessions resumed only where they belong, and the server's identity
// verified when the request asks for it.
#include <gtest/gtest.h>

#include <unistd.h>

#include "support.h"

using namespace testing_support;

namespace {

const char *const k_verify = "\"VerifyServer\": true";

class Tls : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sg_.started()); }
  std::string ask(const std::string &request) {  // the reply (or ""); the connection is closed again
    std::string reply;
    close(open_relay(sg_.port(), request, &reply));
    return reply;
  }
  sealgate_process sg_;
};

TEST_F(Tls, Tls12OnlyAndTheServerNameEcaOnlyWhenAsked) {
  tls_test_server server;  // it would take TLS 1.3
  // A CA file that cannot vouch for the server: only the revocation check judges it.
  std::string ca = "\"CACertPemFile\": \"" + shared_pki().path("noocsp.pem") + "\"";
  EXPECT_EQ(ask(request_json(addr(server.port()), true, ca)), k_status_reply);
  EXPECT_EQ(ask(request_json(addr(server.port()), true, "\"UseECA\": true")), k_status_reply);
  auto seen = server.observations(2);
  ASSERT_EQ(seen.size(), 2u);
  for (const server_observation &s : seen) EXPECT_EQ(s.version, TLS1_2_VERSION);
  EXPECT_EQ(seen[0].sni.empty() ? seen[1].sni : seen[0].sni, "ECA");
  EXPECT_TRUE(seen[0].sni.empty() || seen[1].sni.empty());
}

// A kept context is used only while its files are the same: a passphrase
// file that turns wrong is read again and refused, and then right again.
TEST_F(Tls, ClientCertificateWithAnEncryptedKeyFollowsItsFilesOnDisk) {
  tls_test_server server({.client_certificate = true});
  temp_dir dir("pass");
  std::string pass = dir.path + "/pass.txt", request = request_json(addr(server.port()), true, client_key_json(pass));
  for (const char *content : {"sealgate-secret", "wrong passphrase", "sealgate-secret"}) {
    SCOPED_TRACE(content);
    write_file(pass, content);
    bool right = std::string(content) == "sealgate-secret";
    EXPECT_EQ(ask(request), right ? k_status_reply : "");
    EXPECT_EQ(ask(request), right ? k_status_reply : "");
  }
  auto seen = server.observations(6);  // a refused key still connected first
  EXPECT_EQ(std::count_if(seen.begin(), seen.end(), [](auto &s) { return s.client_certificate; }), 4);
}

// With servers that issue tickets, the next connection resumes its session,
// but only under the same credentials, server name and server, and never
// after the revocation check refused the server.
TEST_F(Tls, SessionsResumeOnlyForTheSameCredentialsNameAndServer) {
  tls_test_server server({.tickets = true});
  temp_dir dir("ca");
  write_file(dir.path + "/ca.pem", read_file(shared_pki().path("root.pem")));
  std::string to_server = addr(server.port());
  std::string other_name = "\"UseECA\": true", other_credentials = "\"CACertPemFile\": \"" + dir.path + "/ca.pem\"";
  size_t asked = 0;
  for (const std::string &extra : {std::string(), std::string(), other_name, other_credentials, std::string(),
                                   std::string(k_verify), std::string(k_verify)}) {
    EXPECT_EQ(ask(request_json(to_server, true, extra)), k_status_reply);
    server.observations(++asked);  // one after the other
  }
  auto seen = server.observations(7);
  ASSERT_EQ(seen.size(), 7u);
  EXPECT_FALSE(seen[0].resumed);
  EXPECT_TRUE(seen[1].resumed);
  EXPECT_FALSE(seen[2].resumed) << "another server name";
  EXPECT_FALSE(seen[3].resumed) << "other credentials";
  EXPECT_TRUE(seen[4].resumed) << "the others disturbed the first one's session";
  EXPECT_FALSE(seen[5].resumed) << "a session made without verification reached a request that verifies";
  EXPECT_TRUE(seen[6].resumed);
  tls_test_server refused({.leaf = "noocsp", .tickets = true});  // refused by the revocation check
  EXPECT_EQ(ask(request_json(addr(refused.port()), false)), "");
  refused.observations(1);
  EXPECT_EQ(ask(request_json(addr(refused.port()))), k_status_reply);
  seen = refused.observations(2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_FALSE(seen[1].resumed) << "a session of a refused server was kept";
}

// With "VerifyServer" the chain must lead to the CA file and the certificate
// name the host the request names (sent as the server name when it is a DNS
// name). A refusal closes without a byte, with an ERROR line that names the
// server and why.
TEST_F(Tls, VerifyServerTakesOnlyAChainToTheCaFileForTheNamedHost) {
  struct row {
    const char *host;
    tls_server_options server;
    const char *refused_for;
    std::string extra;
  };
  const std::vector<row> table = {
      {"localhost", {}, nullptr},
      {"localhost", {.client_certificate = true}, nullptr, client_key_json(shared_pki().path("pass.txt"))},
      {"127.0.0.1", {}, nullptr},                                         // an IP address against the IP names
      {"localhost", {.leaf = "wrongname", .named_leaf = "good"}, nullptr},  // its certificate picked by the name sent
      {"127.0.0.1", {.leaf = "selfsigned", .send_chain = false}, "self-signed certificate"},
      {"127.0.0.1", {.leaf = "otherca"}, "self-signed certificate in certificate chain"},
      {"127.0.0.1", {.leaf = "expired"}, "certificate has expired"},
      {"localhost", {.leaf = "wrongname"}, "hostname mismatch"},
      {"127.0.0.1", {.leaf = "wrongname"}, "IP address mismatch"},
  };
  for (const row &r : table) {
    tls_test_server server(r.server);
    std::string to = std::string(r.host) + ":" + std::to_string(server.port()), reply;
    SCOPED_TRACE(to + " " + r.server.leaf);
    size_t seen = sg_.log().size();
    int fd = open_relay(sg_.port(), request_json(to, true, k_verify + (r.extra.empty() ? "" : ", " + r.extra)), &reply);
    if (r.refused_for != nullptr) {
      EXPECT_TRUE(reply.empty() && closed_without_a_byte(fd));
      auto line = [&] {  // the line that gives the reason
        std::string log = sg_.log();
        size_t at = log.find(std::string(" - ") + r.refused_for + "\n", seen);
        return at == std::string::npos ? std::string() : log.substr(log.rfind('\n', at) + 1, at - log.rfind('\n', at));
      };
      EXPECT_TRUE(eventually([&] { return line().find(" ERROR ") != std::string::npos; }));
      EXPECT_NE(line().find(to), std::string::npos) << line();
      continue;
    }
    EXPECT_EQ(reply, k_status_reply);
    EXPECT_EQ(echo_through(fd, "ping"), "ping");
    close(fd);
    EXPECT_EQ(server.observations().at(0).sni, std::string(r.host) == "localhost" ? "localhost" : "");
  }
}

// With "VerifyServer" an OCSP answer counts only when the certificate's
// issuer signed it, and a verdict kept from an answer nobody verified does
// not count either.
TEST_F(Tls, VerifyServerTakesOnlyOcspAnswersTheIssuerSigned) {
  const test_pki &pki = shared_pki();
  {
    ocsp_responder issuer(pki.ocsp_port);
    tls_test_server server;
    EXPECT_EQ(ask(request_json(addr(server.port()), false, k_verify)), k_status_reply);
  }
  ocsp_responder stranger(pki.ocsp_port, "other");
  tls_test_server server;
  EXPECT_EQ(ask(request_json(addr(server.port()), false)), k_status_reply) << "without VerifyServer any answer counts";
  EXPECT_EQ(ask(request_json(addr(server.port()), false, k_verify)), "");
}

}  // namespace
