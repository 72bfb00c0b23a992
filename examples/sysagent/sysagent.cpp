// sysagent: the sample agent shipped with the daemon. It publishes what the
// machine it runs on knows about itself into the data registry, answers the
// daemon's set mails for its three writable objects and raises a trap when
// the one-minute load average reaches a threshold.
//
//   sys/info          host and OS identity, uptime, contact and location
//   health/health     load averages, memory, process count, load threshold
//   fs/fsEntry.N      one row per mounted file system with blocks
//   net/ifEntry.N     one row per network interface, N its kernel ifindex
//
// usage: sysagent REGISTRY_DIR [INSTALL_DIR] [INTERVAL_SECONDS]
//
// The contact, location and threshold that a manager sets are kept in
// REGISTRY_DIR/.sysagent.state (mode 0600) so that they survive a restart.
// Object files are 0644 and directories 0755 whatever the file-creation
// mask: the daemon starts its agents with a mask of 0.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "agent/dsagent.h"

namespace {

volatile sig_atomic_t stopping = 0;

void on_term(int) { stopping = 1; }

constexpr uint16_t TEXT_SIZE = 128;   // STRING capacity, NUL included
constexpr int32_t LOAD_NORMAL = 1;
constexpr int32_t LOAD_HIGH = 2;
constexpr int32_t TRAP_LOAD_HIGH = 1;
// The sample's own product identifier, served as an OBJECT IDENTIFIER.
constexpr const char* AGENT_OID = "1.3.6.1.4.1.32473.11.2.2";

std::string registry;
std::string state_file;

std::string read_first_line(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string os_pretty_name()
{
    std::ifstream in("/etc/os-release");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("PRETTY_NAME=", 0) == 0) {
            std::string v = line.substr(12);
            if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
                v = v.substr(1, v.size() - 2);
            return v;
        }
    }
    return "unknown";
}

// Text cut to fit an item of TEXT_SIZE bytes with its NUL.
std::string fit(std::string text)
{
    if (text.size() > TEXT_SIZE - 1)
        text.resize(TEXT_SIZE - 1);
    return text;
}

uint32_t clamp32(unsigned long long v) { return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v); }

// ---- settings a manager may change -------------------------------------

struct settings {
    std::string contact = "root@localhost";
    std::string location = "unknown";
    int32_t threshold = 400;  // load average x 100
};
settings current;

void load_settings()
{
    std::ifstream in(state_file);
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = line.substr(0, eq), value = fit(line.substr(eq + 1));
        if (key == "contact")
            current.contact = value;
        else if (key == "location")
            current.location = value;
        else if (key == "threshold")
            current.threshold = static_cast<int32_t>(std::strtol(value.c_str(), nullptr, 10));
    }
}

// The state file is private to the agent (mode 0600). Agents run with the
// daemon's file-creation mask of 0, so every file made here is given its
// mode explicitly; the new state is written to a fresh file of its own (the
// registry directory is shared with other agents, and a fixed temporary name
// could be a planted link) and renamed over the old one.
void save_settings()
{
    std::string text = "contact=" + current.contact + "\nlocation=" + current.location +
                       "\nthreshold=" + std::to_string(current.threshold) + "\n";
    std::string pattern = state_file + ".XXXXXX";
    std::vector<char> temp(pattern.begin(), pattern.end());
    temp.push_back('\0');
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "sysagent: cannot save settings: %s\n", std::strerror(errno));
        return;
    }
    bool ok = fchmod(fd, 0600) == 0;
    for (std::size_t done = 0; ok && done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<std::size_t>(n);
    }
    ok = close(fd) == 0 && ok;
    if (!ok || std::rename(temp.data(), state_file.c_str()) != 0) {
        std::fprintf(stderr, "sysagent: cannot save settings: %s\n", std::strerror(errno));
        unlink(temp.data());
    }
}

// ---- objects ---------------------------------------------------------------

struct object {
    dsagent_object* obj = nullptr;
    std::map<std::string, int> item;  // MIB name -> position
    char row_name[64] = "";           // a table row's object name
    ~object() { dsagent_object_free(obj); }
    void add(const char* name, int type, int access, uint16_t size = 0)
    {
        item[name] = dsagent_object_add_item(obj, name, type, access, size);
    }
    void text(const char* name, const std::string& v) { dsagent_object_set_text(obj, item[name], fit(v).c_str()); }
    void u32(const char* name, uint32_t v) { dsagent_object_set_unsigned(obj, item[name], v); }
    void s32(const char* name, int32_t v) { dsagent_object_set_signed(obj, item[name], v); }
    // Starts the row of `table` at `index` for mailbox `mbox`, under the name
    // the daemon looks it up by; false when it cannot be made.
    bool open_row(const char* table, int index, int32_t mbox)
    {
        const std::int32_t row = index;
        if (dsagent_row_name(row_name, sizeof row_name, table, &row, 1) < 0)
            return false;
        obj = dsagent_object_new(registry.c_str(), row_name, mbox);
        return obj != nullptr && dsagent_object_set_index(obj, &row, 1) == 0;
    }
};

bool make_dir(const std::string& sub)
{
    std::string dir = registry + "/" + sub;
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "sysagent: cannot create %s: %s\n", dir.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

void publish(object& o, const char* what)
{
    if (dsagent_object_publish(o.obj) != 0)
        std::fprintf(stderr, "sysagent: cannot publish %s: %s\n", what, std::strerror(errno));
}

void fill_info(object& o)
{
    struct utsname u {};
    uname(&u);
    o.text("vdnSysHostName", u.nodename);
    o.text("vdnSysOsName", u.sysname);
    o.text("vdnSysOsRelease", u.release);
    o.text("vdnSysOsVersion", u.version);
    o.text("vdnSysOsDescr", os_pretty_name());
    o.text("vdnSysMachine", u.machine);
    double up = std::strtod(read_first_line("/proc/uptime").c_str(), nullptr);
    o.u32("vdnSysUpTime", clamp32(static_cast<unsigned long long>(up * 100)));
    o.text("vdnSysContact", current.contact);
    o.text("vdnSysLocation", current.location);
    dsagent_object_set_text(o.obj, o.item["vdnSysAgentId"], AGENT_OID);
}

void build_info(object& o, int32_t mbox)
{
    o.obj = dsagent_object_new(registry.c_str(), "sys/info", mbox);
    for (const char* n : {"vdnSysHostName", "vdnSysOsName", "vdnSysOsRelease", "vdnSysOsVersion",
                          "vdnSysOsDescr", "vdnSysMachine"})
        o.add(n, DSAGENT_STRING, DSAGENT_RD, TEXT_SIZE);
    o.add("vdnSysUpTime", DSAGENT_UNSIGNED, DSAGENT_RD);
    o.add("vdnSysContact", DSAGENT_STRING, DSAGENT_RDWR, TEXT_SIZE);
    o.add("vdnSysLocation", DSAGENT_STRING, DSAGENT_RDWR, TEXT_SIZE);
    o.add("vdnSysAgentId", DSAGENT_OID, DSAGENT_RD, 64);
}

struct health_sample {
    uint32_t load[3] = {0, 0, 0};  // x 100
    uint32_t procs = 0;
};

health_sample fill_health(object& o)
{
    health_sample s;
    std::istringstream loadavg(read_first_line("/proc/loadavg"));
    double l[3] = {0, 0, 0};
    std::string running;
    loadavg >> l[0] >> l[1] >> l[2] >> running;
    for (int i = 0; i < 3; ++i)
        s.load[i] = clamp32(static_cast<unsigned long long>(l[i] * 100 + 0.5));
    if (auto slash = running.find('/'); slash != std::string::npos)
        s.procs = clamp32(std::strtoull(running.c_str() + slash + 1, nullptr, 10));
    o.u32("vdnHealthLoad1", s.load[0]);
    o.u32("vdnHealthLoad5", s.load[1]);
    o.u32("vdnHealthLoad15", s.load[2]);
    o.u32("vdnHealthProcesses", s.procs);

    std::map<std::string, unsigned long long> mem;
    std::ifstream in("/proc/meminfo");
    std::string key;
    unsigned long long kb;
    std::string unit;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        if (ls >> key >> kb)
            mem[key] = kb;
    }
    o.u32("vdnHealthMemTotal", clamp32(mem["MemTotal:"]));
    o.u32("vdnHealthMemFree", clamp32(mem["MemFree:"]));
    o.u32("vdnHealthMemAvailable", clamp32(mem["MemAvailable:"]));
    o.u32("vdnHealthSwapTotal", clamp32(mem["SwapTotal:"]));
    o.u32("vdnHealthSwapFree", clamp32(mem["SwapFree:"]));
    o.s32("vdnHealthLoadThreshold", current.threshold);
    return s;
}

void build_health(object& o, int32_t mbox)
{
    o.obj = dsagent_object_new(registry.c_str(), "health/health", mbox);
    for (const char* n : {"vdnHealthLoad1", "vdnHealthLoad5", "vdnHealthLoad15", "vdnHealthMemTotal",
                          "vdnHealthMemFree", "vdnHealthMemAvailable", "vdnHealthSwapTotal",
                          "vdnHealthSwapFree", "vdnHealthProcesses"})
        o.add(n, DSAGENT_UNSIGNED, DSAGENT_RD);
    o.add("vdnHealthLoadThreshold", DSAGENT_SIGNED, DSAGENT_RDWR);
    o.add("vdnHealthLoadState", DSAGENT_SIGNED, DSAGENT_RD);
}

// ---- tables: one object file per row --------------------------------------

// Removes the row files of `base` in `sub` whose index is not in `keep`, so
// that a file system unmounted or an interface gone disappears from walks.
void drop_stale_rows(const std::string& sub, const std::string& base, const std::set<int>& keep)
{
    std::string dir = registry + "/" + sub;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    // The rows to keep, named as they were published.
    std::set<std::string> kept;
    for (int index : keep) {
        char name[64];
        const std::int32_t row = index;
        if (dsagent_row_name(name, sizeof name, (sub + "/" + base).c_str(), &row, 1) >= 0)
            kept.insert(name + sub.size() + 1);
    }
    std::string prefix = base + ".";
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.rfind(prefix, 0) == 0 && kept.count(name) == 0)
            unlink((dir + "/" + name).c_str());
    }
    closedir(d);
}

bool pseudo_fs(const std::string& type)
{
    static const std::set<std::string> pseudo = {"proc",    "sysfs",   "devpts",   "cgroup",  "cgroup2",
                                                 "mqueue",  "debugfs", "tracefs",  "securityfs", "pstore",
                                                 "bpf",     "configfs", "fusectl", "hugetlbfs", "autofs",
                                                 "binfmt_misc", "efivarfs", "nsfs", "rpc_pipefs"};
    return pseudo.count(type) != 0;
}

// Indexes are kept per mount point for the life of the agent, so that a row
// keeps its index while other file systems come and go.
std::map<std::string, int> fs_index;

void publish_fs_table(int32_t mbox)
{
    std::ifstream in("/proc/self/mounts");
    std::string line;
    std::set<int> present;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string device, mount, type;
        if (!(ls >> device >> mount >> type) || pseudo_fs(type))
            continue;
        struct statvfs v {};
        if (statvfs(mount.c_str(), &v) != 0 || v.f_blocks == 0)
            continue;
        auto [it, fresh] = fs_index.emplace(mount, static_cast<int>(fs_index.size()) + 1);
        int index = it->second;
        if (present.count(index))
            continue;  // the same mount point twice: the last mount hides the others
        present.insert(index);

        object o;
        if (!o.open_row("fs/fsEntry", index, mbox))
            continue;
        o.add("vdnFsIndex", DSAGENT_SIGNED, DSAGENT_RD);
        o.add("vdnFsMountPoint", DSAGENT_STRING, DSAGENT_RD, TEXT_SIZE);
        o.add("vdnFsDevice", DSAGENT_STRING, DSAGENT_RD, TEXT_SIZE);
        o.add("vdnFsType", DSAGENT_STRING, DSAGENT_RD, 32);
        o.add("vdnFsSizeKB", DSAGENT_UNSIGNED, DSAGENT_RD);
        o.add("vdnFsUsedKB", DSAGENT_UNSIGNED, DSAGENT_RD);
        o.add("vdnFsAvailKB", DSAGENT_UNSIGNED, DSAGENT_RD);
        o.add("vdnFsUsedPercent", DSAGENT_SIGNED, DSAGENT_RD);
        unsigned long long unit = v.f_frsize ? v.f_frsize : v.f_bsize;
        unsigned long long size = v.f_blocks * unit / 1024, avail = v.f_bavail * unit / 1024;
        unsigned long long used = (v.f_blocks - v.f_bfree) * unit / 1024;
        o.s32("vdnFsIndex", index);
        o.text("vdnFsMountPoint", mount);
        o.text("vdnFsDevice", device);
        o.text("vdnFsType", type.substr(0, 31));
        o.u32("vdnFsSizeKB", clamp32(size));
        o.u32("vdnFsUsedKB", clamp32(used));
        o.u32("vdnFsAvailKB", clamp32(avail));
        o.s32("vdnFsUsedPercent", used + avail ? static_cast<int32_t>((used * 100 + used + avail - 1) / (used + avail)) : 0);
        publish(o, o.row_name);
    }
    drop_stale_rows("fs", "fsEntry", present);
}

unsigned long long read_number(const std::string& path)
{
    return std::strtoull(read_first_line(path).c_str(), nullptr, 10);
}

// "aa:bb:cc:dd:ee:ff" to its bytes.
std::vector<unsigned char> hw_bytes(const std::string& text)
{
    std::vector<unsigned char> out;
    std::istringstream in(text);
    std::string part;
    while (std::getline(in, part, ':') && out.size() < 32)
        out.push_back(static_cast<unsigned char>(std::strtoul(part.c_str(), nullptr, 16)));
    return out;
}

void publish_if_table(int32_t mbox)
{
    std::set<int> present;
    DIR* d = opendir("/sys/class/net");
    if (d == nullptr)
        return;
    while (dirent* e = readdir(d)) {
        std::string ifname = e->d_name;
        if (ifname[0] == '.')
            continue;
        std::string base = "/sys/class/net/" + ifname + "/";
        int index = static_cast<int>(read_number(base + "ifindex"));
        if (index <= 0 || present.count(index))
            continue;
        present.insert(index);

        object o;
        if (!o.open_row("net/ifEntry", index, mbox))
            continue;
        o.add("vdnIfIndex", DSAGENT_SIGNED, DSAGENT_RD);
        o.add("vdnIfName", DSAGENT_STRING, DSAGENT_RD, 32);
        o.add("vdnIfMtu", DSAGENT_SIGNED, DSAGENT_RD);
        o.add("vdnIfPhysAddress", DSAGENT_RAW, DSAGENT_RD, 32);
        o.add("vdnIfOperStatus", DSAGENT_SIGNED, DSAGENT_RD);
        o.add("vdnIfInOctets", DSAGENT_UNSIGNED, DSAGENT_RD);
        o.add("vdnIfOutOctets", DSAGENT_UNSIGNED, DSAGENT_RD);
        o.s32("vdnIfIndex", index);
        o.text("vdnIfName", ifname.substr(0, 31));
        o.s32("vdnIfMtu", static_cast<int32_t>(read_number(base + "mtu")));
        std::vector<unsigned char> hw = hw_bytes(read_first_line(base + "address"));
        dsagent_object_set_raw(o.obj, o.item["vdnIfPhysAddress"], hw.data(), static_cast<uint16_t>(hw.size()));
        std::string oper = read_first_line(base + "operstate");
        // "unknown" is what the loopback interface reports while it works.
        o.s32("vdnIfOperStatus", oper == "up" || oper == "unknown" ? 1 : 2);
        // Counter32 wraps, as the manager expects of it.
        o.u32("vdnIfInOctets", static_cast<uint32_t>(read_number(base + "statistics/rx_bytes")));
        o.u32("vdnIfOutOctets", static_cast<uint32_t>(read_number(base + "statistics/tx_bytes")));
        publish(o, o.row_name);
    }
    closedir(d);
    drop_stale_rows("net", "ifEntry", present);
}

// ---- sets ----------------------------------------------------------------

// A set arrives twice: phase 1 asks whether the value is acceptable, phase 2
// (the manager's commit) applies it. Only the three settings are writable;
// the daemon already refuses read-only items, this is the agent's own check
// of the value itself.
bool handle_set(const dsagent_set& set, object& info, object& health)
{
    std::string object_name = set.object_name;
    bool is_text = false;
    std::string* target = nullptr;
    if (object_name == "sys/info" && set.item_index == info.item["vdnSysContact"]) {
        target = &current.contact;
        is_text = true;
    } else if (object_name == "sys/info" && set.item_index == info.item["vdnSysLocation"]) {
        target = &current.location;
        is_text = true;
    } else if (!(object_name == "health/health" && set.item_index == health.item["vdnHealthLoadThreshold"])) {
        return false;
    }

    if (is_text) {
        // The daemon sends a STRING item's value with its NUL.
        if (set.value_length == 0 || set.value[set.value_length - 1] != '\0')
            return false;
        std::string text(reinterpret_cast<const char*>(set.value), set.value_length - 1);
        for (unsigned char c : text)
            if (c < 0x20 || c == 0x7f)
                return false;
        if (set.phase == 2) {
            *target = fit(text);
            save_settings();
            fill_info(info);
            publish(info, "sys/info");
        }
        return true;
    }
    // An INTEGER arrives as its 4 bytes in host order.
    if (set.value_length != 4)
        return false;
    int32_t value;
    std::memcpy(&value, set.value, 4);
    if (value < 0)
        return false;
    if (set.phase == 2) {
        current.threshold = value;
        save_settings();
        health.s32("vdnHealthLoadThreshold", value);
        publish(health, "health/health");
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: %s REGISTRY_DIR [INSTALL_DIR] [INTERVAL_SECONDS]\n", argv[0]);
        return 2;
    }
    registry = argv[1];
    state_file = registry + "/.sysagent.state";
    const char* install_dir = argc > 2 && argv[2][0] != '\0' ? argv[2] : nullptr;
    int interval = argc > 3 ? std::atoi(argv[3]) : 5;
    if (interval < 1)
        interval = 1;

    // No SA_RESTART: SIGTERM must end a blocked wait.
    struct sigaction sa {};
    sa.sa_handler = on_term;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    dsagent_session session{};
    if (dsagent_connect(&session, install_dir, "sysagent", 15000) != 0) {
        std::fprintf(stderr, "sysagent: cannot connect to the daemon: %s\n", std::strerror(errno));
        return 1;
    }
    load_settings();
    for (const char* sub : {"sys", "health", "fs", "net"})
        if (!make_dir(sub))
            return 1;

    object info, health;
    build_info(info, session.mbox);
    build_health(health, session.mbox);
    if (info.obj == nullptr || health.obj == nullptr)
        return 1;

    bool load_high = false;
    unsigned char mail[DSAGENT_MAIL_BUF];
    while (!stopping) {
        fill_info(info);
        publish(info, "sys/info");
        health_sample s = fill_health(health);
        // Edge-triggered: one trap when the load reaches the threshold, and
        // the state object tells a poller whether it is still there.
        bool high = static_cast<int64_t>(s.load[0]) >= current.threshold;
        health.s32("vdnHealthLoadState", high ? LOAD_HIGH : LOAD_NORMAL);
        publish(health, "health/health");
        if (high && !load_high) {
            char text[200];
            std::snprintf(text, sizeof text, "sysagent: load average %u.%02u reached the threshold %d.%02d\n",
                          s.load[0] / 100, s.load[0] % 100, current.threshold / 100, current.threshold % 100);
            uint32_t items[3] = {static_cast<uint32_t>(health.item["vdnHealthLoad1"]),
                                 static_cast<uint32_t>(health.item["vdnHealthLoadThreshold"]),
                                 static_cast<uint32_t>(health.item["vdnHealthLoadState"])};
            if (dsagent_trap(&session, "health/health", TRAP_LOAD_HIGH, items, 3, text) != 0)
                std::fprintf(stderr, "sysagent: cannot send trap: %s\n", std::strerror(errno));
        }
        load_high = high;
        publish_fs_table(session.mbox);
        publish_if_table(session.mbox);

        // Mails until the next refresh.
        for (int waited = 0; !stopping && waited < interval * 10; ++waited) {
            int n = dsagent_wait(&session, mail, sizeof mail, 100);
            if (n < 0) {
                std::fprintf(stderr, "sysagent: lost the daemon's queue: %s\n", std::strerror(errno));
                return 1;
            }
            if (n == 0)
                continue;
            int command = dsagent_mail_command(mail, static_cast<size_t>(n));
            if (command == DSAGENT_MAIL_STOP || command == DSAGENT_MAIL_STOP_ALL)
                return 0;  // the daemon is going away and has forgotten us already
            if (command == DSAGENT_MAIL_SET) {
                dsagent_set set{};
                bool ok = dsagent_parse_set(mail, static_cast<size_t>(n), &set) == 0 && handle_set(set, info, health);
                dsagent_answer(&session, ok);
            }
        }
    }
    dsagent_disconnect(&session);
    return 0;
}
