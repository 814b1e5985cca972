// The TLS connection sealgate makes, as the server sees it: TLS 1.2 only, the
// server name "ECA" only when asked for, the client certificate with an
// encrypted key, kept contexts that follow the files on disk, and sessions
// resumed only where they belong.
#include <gtest/gtest.h>

#include <unistd.h>

#include "support.h"

using namespace testing_support;

namespace {

std::string client_files(const std::string &pass) {
  const test_pki &pki = shared_pki();
  return "\"CertFile\": \"" + pki.path("client.chain.pem") + "\", \"KeyFile\": \"" + pki.path("client.enc.key") +
         "\", \"PassPhraseFile\": \"" + pass + "\"";
}

// The reply (or "") for one request; the connection is closed again.
std::string ask(const sealgate_process &sg, const std::string &request) {
  std::string reply;
  close(open_relay(sg.port(), request, &reply));
  return reply;
}

TEST(Tls, Tls12OnlyAndTheServerNameEcaOnlyWhenAsked) {
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  tls_test_server server;  // it would take TLS 1.3
  // A CA file that cannot vouch for the server: only the revocation check judges it.
  std::string ca = "\"CACertPemFile\": \"" + shared_pki().path("noocsp.pem") + "\"";
  EXPECT_EQ(ask(sg, request_json(addr(server.port()), true, ca)), k_status_reply);
  EXPECT_EQ(ask(sg, request_json(addr(server.port()), true, "\"UseECA\": true")), k_status_reply);
  auto seen = server.observations(2);
  ASSERT_EQ(seen.size(), 2u);
  for (const server_observation &s : seen) EXPECT_EQ(s.version, TLS1_2_VERSION);
  EXPECT_EQ(seen[0].sni.empty() ? seen[1].sni : seen[0].sni, "ECA");
  EXPECT_TRUE(seen[0].sni.empty() || seen[1].sni.empty());
}

// A kept context is used only while its files are the same: a passphrase
// file that turns wrong is read again and refused, and then right again.
TEST(Tls, ClientCertificateWithAnEncryptedKeyFollowsItsFilesOnDisk) {
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  tls_server_options wants_certificate;
  wants_certificate.client_certificate = true;
  tls_test_server server(wants_certificate);
  temp_dir dir("pass");
  std::string pass = dir.path + "/pass.txt", request = request_json(addr(server.port()), true, client_files(pass));
  for (const char *content : {"sealgate-secret", "wrong passphrase", "sealgate-secret"}) {
    SCOPED_TRACE(content);
    write_file(pass, content);
    bool right = std::string(content) == "sealgate-secret";
    EXPECT_EQ(ask(sg, request), right ? k_status_reply : "");
    EXPECT_EQ(ask(sg, request), right ? k_status_reply : "");
  }
  auto seen = server.observations(6);  // a refused key still connected first
  EXPECT_EQ(std::count_if(seen.begin(), seen.end(), [](auto &s) { return s.client_certificate; }), 4);
}

// With servers that issue tickets, the next connection resumes its session,
// but only under the same credentials, server name and server, and never
// after the revocation check refused the server.
TEST(Tls, SessionsResumeOnlyForTheSameCredentialsNameAndServer) {
  sealgate_process sg;
  ASSERT_TRUE(sg.started());
  tls_server_options tickets;
  tickets.tickets = true;
  tls_test_server server(tickets);
  temp_dir dir("ca");
  write_file(dir.path + "/ca.pem", read_file(shared_pki().path("root.pem")));
  std::string to_server = addr(server.port());
  std::string other_name = "\"UseECA\": true", other_credentials = "\"CACertPemFile\": \"" + dir.path + "/ca.pem\"";
  size_t asked = 0;
  for (const std::string &extra : {std::string(), std::string(), other_name, other_credentials, std::string()}) {
    EXPECT_EQ(ask(sg, request_json(to_server, true, extra)), k_status_reply);
    server.observations(++asked);  // one after the other
  }
  auto seen = server.observations(5);
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_FALSE(seen[0].resumed);
  EXPECT_TRUE(seen[1].resumed);
  EXPECT_FALSE(seen[2].resumed) << "another server name";
  EXPECT_FALSE(seen[3].resumed) << "other credentials";
  EXPECT_TRUE(seen[4].resumed) << "the others disturbed the first one's session";
  tickets.leaf = "noocsp";  // refused by the revocation check
  tls_test_server refused(tickets);
  EXPECT_EQ(ask(sg, request_json(addr(refused.port()), false)), "");
  refused.observations(1);
  EXPECT_EQ(ask(sg, request_json(addr(refused.port()))), k_status_reply);
  seen = refused.observations(2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_FALSE(seen[1].resumed) << "a session of a refused server was kept";
}

}  // namespace
