// tls_floor: the floor of a TLS handshake's cost, for the instruction benchmark to set the service's
// beside. A listener on loopback that makes OpenSSL's own handshake with the Hubmaster's certificate and
// key, TLS 1.3 only, asking the caller for a certificate of the authority and checking one if shown (the
// service's verification), with OpenSSL's default group, and nothing else: no ticket after the handshake
// (the service sends one), one context made at the start, one thread, each connection read until the
// caller closes, then closed.
//
//   tls_floor --cert <file> --key <file> --ca <file> [--tickets <n>]
//
// --tickets: the tickets sent after each handshake (none by default: the handshake alone).
// Prints "tls_floor: listening on 127.0.0.1:<port>" and serves until SIGTERM.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    std::string cert, key, ca, tickets = "0", unknown;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        (a == "--cert"      ? cert
         : a == "--key"     ? key
         : a == "--ca"      ? ca
         : a == "--tickets" ? tickets
                            : unknown) = argv[i + 1];
    }
    if (cert.empty() || key.empty() || ca.empty() || !unknown.empty() || argc % 2 == 0) {
        std::fprintf(stderr, "usage: tls_floor --cert <file> --key <file> --ca <file> [--tickets <n>]\n");
        return 2;
    }
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr || SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) != 1 ||
        SSL_CTX_use_certificate_file(ctx, cert.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_load_verify_locations(ctx, ca.c_str(), nullptr) != 1) {
        ERR_print_errors_fp(stderr);
        return 1;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_client_CA_list(ctx, SSL_load_client_CA_file(ca.c_str()));
    SSL_CTX_set_num_tickets(ctx, static_cast<size_t>(std::atoi(tickets.c_str())));
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 64) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("tls_floor: listen");
        return 1;
    }
    std::printf("tls_floor: listening on 127.0.0.1:%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    for (;;) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        SSL* ssl = SSL_new(ctx);
        if (ssl != nullptr && SSL_set_fd(ssl, fd) == 1 && SSL_accept(ssl) == 1) {
            char buffer[4096];
            while (SSL_read(ssl, buffer, sizeof buffer) > 0) {
            }
            SSL_shutdown(ssl);
        }
        ERR_clear_error();
        SSL_free(ssl);
        close(fd);
    }
}
