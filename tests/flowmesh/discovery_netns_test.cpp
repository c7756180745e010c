// Discovery and the handshake between node tools in network namespaces of
// this test's own: two joined by a veth pair (192.0.2.1 and 192.0.2.2), or
// three on a bridge that lives in a fourth. Every node is a separate
// veltrana-testnode process, so each binds the real discovery ports. Needs
// root; skips with a message otherwise. Whatever a test makes is removed at
// its end (and at exit), and leftovers of crashed runs at the start.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kPrefix[] = "vtdisc";
const int kBasePort = 60149;

bool run(const std::string &command)
{
    const int status = system((command + " >/dev/null 2>&1").c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string output_of(const std::string &command)
{
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

uint64_t now_ms()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

template <typename Done>
bool wait_for(Done done, uint64_t ms)
{
    const uint64_t end = now_ms() + ms;
    while (!done()) {
        if (now_ms() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Every namespace this process made, for the exit handler.
std::mutex g_made_mutex;
std::set<std::string> g_made;

void delete_namespace(const std::string &name)
{
    run("ip netns del " + name);
    std::lock_guard<std::mutex> guard(g_made_mutex);
    g_made.erase(name);
}

void delete_all_namespaces()
{
    std::set<std::string> made;
    {
        std::lock_guard<std::mutex> guard(g_made_mutex);
        made = g_made;
    }
    for (const std::string &name : made) delete_namespace(name);
}

// Namespaces named after a process that no longer runs are leftovers of a
// run that crashed.
void remove_stale_namespaces()
{
    DIR *dir = opendir("/var/run/netns");
    if (dir == nullptr) return;
    while (dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.rfind(kPrefix, 0) != 0) continue;
        const int pid = atoi(name.c_str() + strlen(kPrefix));
        if (pid > 0 && kill(pid, 0) != 0 && errno == ESRCH) run("ip netns del " + name);
    }
    closedir(dir);
}

std::string g_skip;

class Root : public ::testing::Environment {
public:
    void SetUp() override
    {
        if (geteuid() != 0) {
            g_skip = "needs root to make network namespaces, veth pairs and a bridge";
        } else if (!run("ip -V")) {
            g_skip = "the ip tool is missing";
        } else {
            remove_stale_namespaces();
            atexit(delete_all_namespaces);
        }
    }
    void TearDown() override { delete_all_namespaces(); }
};

const auto *const g_environment = ::testing::AddGlobalTestEnvironment(new Root);

// The namespaces of one test: nodes n0, n1 ... with 192.0.2.(1 + i)/24;
// two of them joined directly, more through a bridge in a namespace of its
// own. Removed with the object.
class Topology {
public:
    explicit Topology(int nodes) : tag_(std::to_string(getpid()) + "t" + std::to_string(next_tag_++))
    {
        ok_ = nodes == 2 ? make_pair() : make_bridge(nodes);
        if (ok_) ok_ = wait_for([&] { return carriers_up(); }, 5000);
    }
    ~Topology()
    {
        for (const std::string &name : names_) delete_namespace(name);
    }
    Topology(const Topology &) = delete;
    Topology &operator=(const Topology &) = delete;

    bool ok() const { return ok_; }
    const std::string &ns(int i) const { return nodes_[i]; }
    const std::string &device(int i) const { return devices_[i]; }
    static std::string address(int i) { return "192.0.2." + std::to_string(1 + i); }

private:
    std::string make_namespace(const std::string &suffix)
    {
        const std::string name = kPrefix + tag_ + suffix;
        if (!run("ip netns add " + name)) return "";
        names_.push_back(name);
        std::lock_guard<std::mutex> guard(g_made_mutex);
        g_made.insert(name);
        return name;
    }

    bool address_node(int i)
    {
        return run("ip -n " + nodes_[i] + " addr add " + address(i) + "/24 dev " + devices_[i]) &&
               run("ip -n " + nodes_[i] + " link set " + devices_[i] + " up") &&
               run("ip -n " + nodes_[i] + " link set lo up");
    }

    bool make_pair()
    {
        for (int i = 0; i < 2; ++i) {
            nodes_.push_back(make_namespace("n" + std::to_string(i)));
            devices_.push_back("vd" + tag_ + "n" + std::to_string(i));
            if (nodes_.back().empty()) return false;
        }
        return run("ip link add " + devices_[0] + " netns " + nodes_[0] + " type veth peer name " + devices_[1] +
                   " netns " + nodes_[1]) &&
               address_node(0) && address_node(1);
    }

    bool make_bridge(int nodes)
    {
        bridge_ = make_namespace("br");
        if (bridge_.empty() || !run("ip -n " + bridge_ + " link add br0 type bridge") ||
            !run("ip -n " + bridge_ + " link set br0 up"))
            return false;
        for (int i = 0; i < nodes; ++i) {
            nodes_.push_back(make_namespace("n" + std::to_string(i)));
            devices_.push_back("vd" + tag_ + "n" + std::to_string(i));
            const std::string port = "vd" + tag_ + "p" + std::to_string(i);
            if (nodes_.back().empty() ||
                !run("ip link add " + devices_[i] + " netns " + nodes_[i] + " type veth peer name " + port +
                     " netns " + bridge_) ||
                !run("ip -n " + bridge_ + " link set " + port + " master br0") ||
                !run("ip -n " + bridge_ + " link set " + port + " up") || !address_node(i))
                return false;
        }
        return true;
    }

    bool carriers_up()
    {
        for (size_t i = 0; i < nodes_.size(); ++i)
            if (output_of("ip -n " + nodes_[i] + " link show " + devices_[i]).find("LOWER_UP") == std::string::npos)
                return false;
        return true;
    }

    static int next_tag_;
    std::string tag_;
    std::string bridge_;
    std::vector<std::string> names_, nodes_, devices_;
    bool ok_ = false;
};
int Topology::next_tag_ = 0;

// A field of one JSON line of the node tool: the text after "name": up to
// the next quote, comma or brace.
std::string field(const std::string &line, const std::string &name)
{
    const std::string key = "\"" + name + "\":";
    size_t at = line.find(key);
    if (at == std::string::npos) return "";
    at += key.size();
    if (at < line.size() && line[at] == '"') ++at;
    const size_t end = line.find_first_of("\",}", at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// One node tool in a namespace: its stdout lines are collected by a thread
// of the test; "quit" on its stdin ends it.
class Node {
public:
    Node(const std::string &ns, const std::vector<std::string> &options)
    {
        std::vector<std::string> args = {"ip", "netns", "exec", ns, VELTRANA_TESTNODE_TOOL};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        reader_ = std::thread([this, fd = out[0]] { read_lines(fd); });
    }

    ~Node() { stop(); }
    Node(const Node &) = delete;
    Node &operator=(const Node &) = delete;

    bool started() const { return pid_ > 0; }

    void stop()
    {
        if (stdin_ >= 0) {
            (void)!write(stdin_, "quit\n", 5);
            close(stdin_);
            stdin_ = -1;
        }
        if (pid_ > 0) {
            int status = 0;
            if (!wait_for([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 10000)) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
            }
            exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            pid_ = -1;
        }
        if (reader_.joinable()) reader_.join();
    }

    std::vector<std::string> lines()
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return lines_;
    }

    // The "ready" line for the peer at `address` (any port), or "".
    std::string ready_for(const std::string &address)
    {
        for (const std::string &line : lines())
            if (field(line, "event") == "ready" && field(line, "peer").rfind(address + ":", 0) == 0) return line;
        return "";
    }

    std::string all()
    {
        std::string text;
        for (const std::string &line : lines()) text += line + "\n";
        return text;
    }

    int exit_code() const { return exit_code_; }

private:
    void read_lines(int fd)
    {
        std::string partial;
        char buffer[4096];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof(buffer))) > 0) {
            partial.append(buffer, static_cast<size_t>(n));
            size_t end;
            while ((end = partial.find('\n')) != std::string::npos) {
                std::lock_guard<std::mutex> guard(mutex_);
                lines_.push_back(partial.substr(0, end));
                partial.erase(0, end + 1);
            }
        }
        close(fd);
    }

    pid_t pid_ = -1;
    int stdin_ = -1;
    int exit_code_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

std::vector<std::string> node_options(int key_options, int announce_mode = 1)
{
    return {"--key-options", std::to_string(key_options), "--announce-mode", std::to_string(announce_mode)};
}

class DiscoveryNetns : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!g_skip.empty()) GTEST_SKIP() << g_skip;
    }
};

// Both nodes report the other ready within 10 s, one as key sender and one
// as receiver, with one key: its length follows both nodes' key options.
TEST_F(DiscoveryNetns, TwoNodesOnAVethPairAgreeOneKey)
{
    struct Case {
        int options[2];
        const char *key_length;
    } cases[] = {
        {{3, 3}, "32"},
        {{3, 1}, "16"},
        {{1, 3}, "16"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("key options " + std::to_string(c.options[0]) + "/" + std::to_string(c.options[1]));
        Topology net(2);
        ASSERT_TRUE(net.ok()) << "the veth pair could not be made";
        const uint64_t start = now_ms();
        Node a(net.ns(0), node_options(c.options[0]));
        Node b(net.ns(1), node_options(c.options[1]));
        ASSERT_TRUE(a.started() && b.started());
        const bool ready = wait_for(
            [&] { return !a.ready_for(Topology::address(1)).empty() && !b.ready_for(Topology::address(0)).empty(); },
            10000);
        const uint64_t took = now_ms() - start;
        a.stop();
        b.stop();
        ASSERT_TRUE(ready) << "node A:\n" << a.all() << "node B:\n" << b.all();
        EXPECT_LT(took, 10000u);
        const std::string at_a = a.ready_for(Topology::address(1));
        const std::string at_b = b.ready_for(Topology::address(0));
        EXPECT_EQ(field(at_a, "key_length"), c.key_length) << at_a;
        EXPECT_EQ(field(at_b, "key_length"), c.key_length) << at_b;
        EXPECT_EQ(field(at_a, "fingerprint").size(), 64u) << at_a;
        EXPECT_EQ(field(at_a, "fingerprint"), field(at_b, "fingerprint"));
        EXPECT_NE(field(at_a, "key_receiver"), field(at_b, "key_receiver"));
        EXPECT_EQ(a.exit_code(), 0);
        EXPECT_EQ(b.exit_code(), 0);
    }
}

TEST_F(DiscoveryNetns, ThreeNodesOnABridgeSeeEachOther)
{
    Topology net(3);
    ASSERT_TRUE(net.ok()) << "the bridge could not be made";
    std::vector<std::unique_ptr<Node>> nodes;
    for (int i = 0; i < 3; ++i) nodes.push_back(std::make_unique<Node>(net.ns(i), node_options(3)));
    auto all_ready = [&] {
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                if (i != j && nodes[i]->ready_for(Topology::address(j)).empty()) return false;
        return true;
    };
    const bool ready = wait_for(all_ready, 15000);
    for (auto &node : nodes) node->stop();
    std::string logs;
    for (auto &node : nodes) logs += node->all() + "--\n";
    ASSERT_TRUE(ready) << logs;
    for (int i = 0; i < 3; ++i)
        for (int j = i + 1; j < 3; ++j)
            EXPECT_EQ(field(nodes[i]->ready_for(Topology::address(j)), "fingerprint"),
                      field(nodes[j]->ready_for(Topology::address(i)), "fingerprint"))
                << "nodes " << i << " and " << j;
}

struct Datagram {
    double time;
    std::string from, to;
    int port;
    int length;
};

// Reads "TIME IP A.B.C.D.PORT > E.F.G.H.PORT: UDP, length N" lines.
std::vector<Datagram> read_capture(const std::string &file)
{
    std::vector<Datagram> out;
    std::istringstream lines(output_of("tcpdump -r " + file + " -n -tt udp 2>/dev/null"));
    std::string line;
    while (std::getline(lines, line)) {
        Datagram d = {};
        char from[64], to[64];
        if (sscanf(line.c_str(), "%lf IP %63s > %63[^:]: UDP, length %d", &d.time, from, to, &d.length) != 4)
            continue;
        const std::string source = from, target = to;
        d.from = source.substr(0, source.rfind('.'));
        d.to = target.substr(0, target.rfind('.'));
        d.port = atoi(target.c_str() + target.rfind('.') + 1);
        out.push_back(d);
    }
    return out;
}

// The link as B's side sees it: every announcement round of A covers the
// eight discovery ports, rounds follow at the announce mode's interval, and
// nothing but announcements, identity blocks and key messages is sent.
TEST_F(DiscoveryNetns, ACaptureShowsAnnouncementsAtTheModesIntervalAndHandshakeSizes)
{
    struct Case {
        int mode;
        double low_s, high_s;  // interval bounds, with room for the loop's 100 ms step
        int capture_s;
    } cases[] = {
        {1, 0.45, 1.5 + 0.4, 6},
        {3, 1.45, 5.0 + 0.4, 14},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("announce mode " + std::to_string(c.mode));
        Topology net(2);
        ASSERT_TRUE(net.ok());
        const std::string file = "/tmp/" + std::string(kPrefix) + std::to_string(getpid()) + ".pcap";
        unlink(file.c_str());
        const std::string capture = "ip netns exec " + net.ns(1) + " timeout " + std::to_string(c.capture_s) +
                                    " tcpdump -i " + net.device(1) + " -n -U -w " + file + " udp >/dev/null 2>&1";
        std::thread tcpdump([&] { (void)!system(capture.c_str()); });
        // tcpdump writes its file header once it listens.
        const bool listening = wait_for([&] { return access(file.c_str(), F_OK) == 0; }, 5000);
        Node a(net.ns(0), node_options(3, c.mode));
        Node b(net.ns(1), node_options(3, c.mode));
        tcpdump.join();
        a.stop();
        b.stop();
        ASSERT_TRUE(listening) << "tcpdump did not start";
        const std::vector<Datagram> seen = read_capture(file);
        unlink(file.c_str());

        const std::string broadcast = "192.0.2.255";
        std::vector<double> rounds;
        std::set<int> ports;
        std::map<int, int> sizes;
        for (const Datagram &d : seen) {
            sizes[d.length]++;
            if (d.from != Topology::address(0) || d.to != broadcast) continue;
            EXPECT_EQ(d.length, 32) << "to port " << d.port;
            EXPECT_GE(d.port, kBasePort);
            EXPECT_LE(d.port, kBasePort + 7);
            ports.insert(d.port);
            // The eight datagrams of one round leave together.
            if (rounds.empty() || d.time - rounds.back() > 0.2) rounds.push_back(d.time);
        }
        EXPECT_EQ(ports.size(), 8u);
        ASSERT_GE(rounds.size(), 3u);
        for (size_t i = 1; i < rounds.size(); ++i) {
            EXPECT_GE(rounds[i] - rounds[i - 1], c.low_s) << "round " << i;
            EXPECT_LE(rounds[i] - rounds[i - 1], c.high_s) << "round " << i;
        }
        EXPECT_GT(sizes[558], 0) << "identity blocks";
        EXPECT_GT(sizes[288], 0) << "key messages";
        for (const auto &[length, count] : sizes)
            EXPECT_TRUE(length == 32 || length == 558 || length == 288) << count << " datagrams of " << length;
    }
}

}  // namespace
