// The HTTP module against real clients on loopback sockets, the server
// driven by the test's own poll loop as the collector drives it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "http.h"

namespace {

uint64_t nowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

int renderEcho(void *ctx, const char *query, HttpBody *out)
{
    ++*(int *)ctx;
    httpAppend(out, "echo [%s]\n", query);
    return 200;
}

constexpr char kFixed[] = "<p>fixed</p>";
const HttpRoute kRoutes[] = {
    {"/echo", "text/plain; charset=utf-8", renderEcho, nullptr, 0},
    {"/fixed", "text/html; charset=utf-8", nullptr, kFixed, sizeof kFixed - 1},
};

// A client socket from a given loopback address; reads what arrived.
struct Client {
    int fd = -1;
    std::string got;
    bool closed = false;

    Client(uint16_t port, const char *from = "127.0.0.1")
    {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, from, &a.sin_addr);
        EXPECT_EQ(bind(fd, (sockaddr *)&a, sizeof a), 0);
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        a.sin_port = htons(port);
        EXPECT_EQ(connect(fd, (sockaddr *)&a, sizeof a), 0) << strerror(errno);
        fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    ~Client() { close(fd); }
    void send(const std::string &s) { EXPECT_EQ(::send(fd, s.data(), s.size(), MSG_NOSIGNAL), (ssize_t)s.size()); }
    void read()
    {
        char buf[65536];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0)
            got.append(buf, (size_t)n);
        if (n == 0 || (n < 0 && errno != EAGAIN))
            closed = true;
    }
    int status() const { return got.size() > 12 ? atoi(got.c_str() + 9) : 0; }
    std::string header(const char *name) const
    {
        std::string key = std::string("\r\n") + name + ": ";
        size_t p = got.find(key);
        return p == std::string::npos ? "" : got.substr(p + key.size(), got.find("\r\n", p + 2) - p - key.size());
    }
    std::string body() const
    {
        size_t p = got.find("\r\n\r\n");
        return p == std::string::npos ? "" : got.substr(p + 4);
    }
};

struct Server : ::testing::Test {
    HttpServer srv;
    int rendered = 0;
    HttpLimits limits = {3, 2, 1, 2, 8192};

    void open()
    {
        char err[256];
        ASSERT_TRUE(httpOpen(&srv, "127.0.0.1:0", kRoutes, 2, &rendered, &limits, err, sizeof err)) << err;
        ASSERT_NE(srv.port, 0);
    }
    void TearDown() override { httpClose(&srv); }

    // The collector's loop in small: poll the server and the clients,
    // serve, read, until done() or seconds have passed.
    template <typename Done>
    bool runUntil(std::vector<Client *> clients, Done done, double seconds = 10)
    {
        uint64_t end = nowNs() + (uint64_t)(seconds * 1e9);
        while (!done()) {
            uint64_t now = nowNs();
            if (now >= end)
                return false;
            std::vector<pollfd> fds = {{httpFd(&srv), POLLIN, 0}};
            for (Client *c : clients)
                fds.push_back({c->fd, POLLIN, 0});
            uint64_t wake = httpWakeNs(&srv, now);
            uint64_t until = wake < end ? wake : end;
            int ms = until > now ? (int)((until - now) / 1000000u) + 1 : 0;
            poll(fds.data(), fds.size(), ms < 50 ? ms : 50);
            httpRun(&srv, nowNs());
            for (Client *c : clients)
                c->read();
        }
        return true;
    }
    // One request on a connection of its own, to its end.
    Client exchange(const std::string &request)
    {
        Client c(srv.port);
        c.send(request);
        EXPECT_TRUE(runUntil({&c}, [&] { return c.closed; })) << request;
        return c;
    }
};

struct Case {
    const char *request;
    int status;
    const char *body;  // nullptr: not checked
    const char *contentType;
};

TEST_F(Server, AnswersOnlyGetAndHeadOfItsPaths)
{
    open();
    const std::string close = " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
    const Case cases[] = {
        {"GET /echo?since=123&x=%41", 200, "echo [since=123&x=%41]\n", "text/plain; charset=utf-8"},
        {"GET /echo", 200, "echo []\n", "text/plain; charset=utf-8"},
        {"HEAD /echo?a", 200, "", "text/plain; charset=utf-8"},
        {"GET /fixed", 200, "<p>fixed</p>", "text/html; charset=utf-8"},
        {"GET /nothing", 404, nullptr, "text/plain; charset=utf-8"},
        {"GET /echo/", 404, nullptr, nullptr},
        {"GET /../../etc/passwd", 404, nullptr, nullptr},
        {"GET /%2e%2e/etc/passwd", 404, nullptr, nullptr},
        {"GET /echo%00", 404, nullptr, nullptr},
        {"GET /%65cho", 404, nullptr, nullptr},
        {"POST /echo", 405, nullptr, nullptr},
        {"GET /echo?body", 200, "echo [body]\n", nullptr},
        {"PUT /fixed", 405, nullptr, nullptr},
        {"OPTIONS /nothing", 405, nullptr, nullptr},
        {"BREW /echo", 405, nullptr, nullptr},
    };
    for (const Case &k : cases) {
        std::string req = k.request + close;
        if (strncmp(k.request, "POST", 4) == 0 || strstr(k.request, "?body"))
            req += "Content-Length: 5\r\n\r\nhello";
        else
            req += "\r\n";
        Client c = exchange(req);
        SCOPED_TRACE(k.request);
        EXPECT_EQ(c.status(), k.status) << c.got;
        if (k.body) {
            EXPECT_EQ(c.body(), k.body);
        }
        if (k.contentType) {
            EXPECT_EQ(c.header("Content-Type"), k.contentType);
        }
        EXPECT_EQ(c.header("Cache-Control"), "no-store");
        EXPECT_EQ(c.header("X-Content-Type-Options"), "nosniff");
        EXPECT_EQ(c.header("Allow"), k.status == 405 ? "GET, HEAD" : "");
    }
    // HEAD says how long GET's body is
    EXPECT_EQ(exchange("HEAD /echo?a" + close + "\r\n").header("Content-Length"), "9");
    EXPECT_EQ(rendered, 5);
    EXPECT_EQ(srv.stats.notFound, 6u);
    EXPECT_EQ(srv.stats.badMethod, 4u);
}

TEST_F(Server, KeepsAConnectionForTheNextRequest)
{
    open();
    Client c(srv.port);
    for (int i = 0; i < 3; i++) {
        c.got.clear();
        c.send("GET /echo?" + std::to_string(i) + " HTTP/1.1\r\nHost: x\r\n\r\n");
        ASSERT_TRUE(runUntil({&c}, [&] { return c.body().size() >= 9 || c.closed; }));
        EXPECT_EQ(c.body(), "echo [" + std::to_string(i) + "]\n") << c.got << c.got;
    }
    EXPECT_EQ(srv.stats.accepted, 1u);
}

TEST_F(Server, CapsConnectionsPerClientAndInTotal)
{
    open();  // 3 in total, 2 per address
    Client a1(srv.port, "127.0.0.1"), a2(srv.port, "127.0.0.1");
    ASSERT_TRUE(runUntil({&a1, &a2}, [&] { return srv.stats.open == 2; }));
    Client a3(srv.port, "127.0.0.1");
    ASSERT_TRUE(runUntil({&a3}, [&] { return a3.closed; }));
    EXPECT_EQ(srv.stats.refused, 1u);
    EXPECT_TRUE(a3.got.empty());

    Client b1(srv.port, "127.0.0.2");
    ASSERT_TRUE(runUntil({&b1}, [&] { return srv.stats.open == 3; }));
    // full: the next one waits, unanswered, until a place is free
    Client c1(srv.port, "127.0.0.3");
    c1.send("GET /echo HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_FALSE(runUntil({&c1}, [&] { return !c1.got.empty() || c1.closed; }, 0.5));
    close(b1.fd);
    b1.fd = -1;
    ASSERT_TRUE(runUntil({&c1}, [&] { return c1.closed; }));
    EXPECT_EQ(c1.status(), 200);
}

TEST(HttpBody, GrowsAndWritesJsonStrings)
{
    HttpBody b;
    httpBodyInit(&b);
    std::string longText(5000, 'x');
    httpAppend(&b, "%s|", longText.c_str());
    const struct {
        const char *in;
        const char *json;
    } cases[] = {
        {nullptr, "null"},
        {"/var/lib/cvfcollect/c.pcapng", "\"/var/lib/cvfcollect/c.pcapng\""},
        {"a\"b\\c\nd\x01\x7f", "\"a\\\"b\\\\c\\u000ad\\u0001\\u007f\""},
        {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},    // UTF-8 kept
        {"bad\xff\xc3(\xe2\x82", "\"bad\\ufffd\\ufffd(\\ufffd\\ufffd\""},  // not UTF-8: replaced
    };
    std::string want = longText + "|";
    for (const auto &k : cases) {
        httpAppendJson(&b, k.in);
        want += k.json;
    }
    EXPECT_FALSE(b.failed);
    EXPECT_EQ(std::string(b.data, b.size), want);
    httpBodyFree(&b);
}

TEST(HttpAddr, TakesPortOrAddressAndPort)
{
    struct {
        const char *text;
        const char *host;  // nullptr: refused
        uint16_t port;
    } cases[] = {
        {"8080", "", 8080}, {"0", "", 0}, {"127.0.0.1:8080", "127.0.0.1", 8080},
        {"[::1]:9", "::1", 9}, {"[::]:65535", "::", 65535},
        {"", nullptr, 0}, {"http", nullptr, 0}, {"65536", nullptr, 0}, {"-1", nullptr, 0},
        {"80x", nullptr, 0}, {":80", nullptr, 0}, {"::1:80", nullptr, 0},
        {"[::1]80", nullptr, 0}, {"[::1]:", nullptr, 0}, {"[127.0.0.1]:80", nullptr, 0},
        {"1.2.3:80", nullptr, 0}, {"localhost:80", nullptr, 0}, {"127.0.0.1:", nullptr, 0},
        {"127.0.0.1:8080:1", nullptr, 0}, {"+80", nullptr, 0},
    };
    for (const auto &k : cases) {
        char host[64] = "?", err[256] = "";
        uint16_t port = 1;
        int ok = httpParseAddr(k.text, host, sizeof host, &port, err, sizeof err);
        EXPECT_EQ(ok, k.host != nullptr) << k.text << ": " << err;
        if (ok) {
            EXPECT_STREQ(host, k.host) << k.text;
            EXPECT_EQ(port, k.port) << k.text;
        } else {
            EXPECT_NE(strstr(err, k.text), nullptr) << err;
        }
    }
}

TEST(HttpAddr, OpenNamesTheBoundAddress)
{
    HttpServer s;
    char err[256];
    HttpLimits limits = kHttpDefaultLimits;
    ASSERT_TRUE(httpOpen(&s, "[::1]:0", kRoutes, 2, nullptr, &limits, err, sizeof err)) << err;
    EXPECT_EQ(std::string(s.name), "[::1]:" + std::to_string(s.port));
    HttpServer again;
    std::string taken = "[::1]:" + std::to_string(s.port);
    EXPECT_FALSE(httpOpen(&again, taken.c_str(), kRoutes, 2, nullptr, &limits, err, sizeof err));
    EXPECT_NE(strstr(err, "Address already in use"), nullptr) << err;
    httpClose(&s);
}

}  // namespace
