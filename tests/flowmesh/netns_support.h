// Network namespaces for tests that run node tools in them: two
// namespaces joined by a veth pair (192.0.2.1 and 192.0.2.2), or several on
// a bridge that lives in a namespace of its own; the node tool as a child
// process whose JSON lines are collected. Needs root; a suite including
// this skips with g_skip's message otherwise. Whatever a test makes is
// removed with its Topology (and at exit), and leftovers of crashed runs at
// the start. Each including suite defines VELTRANA_TESTNODE_TOOL.
#pragma once

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

    // One command line on the tool's stdin.
    void command(const std::string &line)
    {
        const std::string text = line + "\n";
        if (stdin_ >= 0) (void)!write(stdin_, text.data(), text.size());
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

}  // namespace
