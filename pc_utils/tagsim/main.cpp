// tagsim: serves a simulated tag on a new pseudo-terminal until it is
// stopped. It prints the terminal's path on its first output line; with
// --link it also makes a symlink to it (a COMn entry for FLASHTAG_PORT_DIR,
// or a comN entry in a Wine prefix's dosdevices).
#include "tagsim.h"
#include "terminal.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

volatile sig_atomic_t tag_out = 0;
volatile sig_atomic_t tag_insertions = 0;
volatile sig_atomic_t tag_reboots = 0;

namespace {

const char* link_to_remove = nullptr;

void take_out(int) { tag_out = 1; }

void put_in(int)
{
    tag_out = 0;
    tag_insertions = tag_insertions + 1;
}

// A tag put in starts as after power-up: the console's switches as given,
// and the node ID of the file, if there is one.
void start_tag(sim_tag& tag)
{
    tag.echo = tag.opt.echo;
    tag.echo_typed = tag.opt.echo_typed;
    tag.node_id = tag.opt.node_id;
    tag.id_queries_unanswered = tag.opt.mute_id_first;
    if (tag.opt.node_id_file.empty()) return;
    if (FILE* f = fopen(tag.opt.node_id_file.c_str(), "r")) {
        unsigned id = 0;
        if (fscanf(f, "%u", &id) == 1) tag.node_id = id & 0xFF;
        fclose(f);
    }
}

void reboot(int) { tag_reboots = tag_reboots + 1; }

// Power-up: the console as at start, its start-up line, then the script
// when it was loaded to run at power-up. What was typed is lost.
void power_up(sim_tag& tag)
{
    start_tag(tag);
    note_event(tag, "rebooted");
    line_send(tag.line, "Corvela tag " + tag.opt.version + ", node " + std::to_string(tag.node_id));
    if (tag.auto_run) run_script(tag);
}

void stop(int)
{
    if (link_to_remove != nullptr) unlink(link_to_remove);
    _exit(0);
}

// Opens a new pseudo-terminal; returns the master and the slave's path. The
// slave is opened once and kept open, so that the master does not see a
// hang-up each time the PC side closes the port, and its settings are left
// to whoever opens the port: the program under test must make the line raw.
// Two exceptions, both things a serial line never does. It never turns
// received bytes into signals, but a pseudo-terminal does for the session it
// controls, and Wine's server, a session leader, opens COM devices without
// O_NOCTTY: a 0x03 or 0x1C from a babbling tag would then stop Wine itself
// before the program under test has made the line raw. And it never echoes
// what the tag sends back to the tag: a program that puts the settings back
// as it found them when it lets go would otherwise turn the tag's late
// output into commands to itself.
int open_terminal(std::string& slave_path)
{
    int slave = -1;  // stays open for the simulation's life
    return open_serial_like_pty(slave_path, &slave);
}

}  // namespace

int main(int argc, char** argv)
{
    sim_tag tag;
    if (!parse_options(argc, argv, tag.opt)) {
        usage();
        return 2;
    }
    start_tag(tag);
    read_firmware_version(tag);
    tag_out = tag.opt.pulled ? 1 : 0;

    std::string slave_path;
    tag.line.fd = open_terminal(slave_path);
    tag.line.latency_ms = tag.opt.latency_ms;
    if (!tag.opt.save_bytes.empty()) {
        tag.line.save_fd = open(tag.opt.save_bytes.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    }
    if (tag.line.fd < 0) {
        perror("tagsim: pseudo-terminal");
        return 1;
    }
    if (!tag.opt.link.empty()) {
        // An old link (from a simulation that was killed) is replaced;
        // anything else at that path is not ours to remove.
        struct stat st {};
        if (lstat(tag.opt.link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            fprintf(stderr, "tagsim: %s exists and is not a link\n", tag.opt.link.c_str());
            return 1;
        }
        unlink(tag.opt.link.c_str());
        if (symlink(slave_path.c_str(), tag.opt.link.c_str()) != 0) {
            perror("tagsim: link");
            return 1;
        }
        link_to_remove = tag.opt.link.c_str();
    }
    signal(SIGTERM, stop);
    signal(SIGINT, stop);
    struct sigaction swap {};
    swap.sa_handler = reboot;
    sigaction(SIGHUP, &swap, nullptr);
    swap.sa_handler = take_out;
    sigaction(SIGUSR1, &swap, nullptr);
    swap.sa_handler = put_in;
    sigaction(SIGUSR2, &swap, nullptr);
    printf("%s\n", slave_path.c_str());
    fflush(stdout);

    if (tag.opt.babble) babble(tag);
    std::string command;
    sig_atomic_t seen_out = tag_out, seen_insertions = tag_insertions, seen_reboots = tag_reboots;
    for (;;) {
        int b = line_read_byte(tag.line, tag_out ? -1 : 100);
        if (seen_out != tag_out || seen_insertions != tag_insertions) {
            // Taken out, or another tag put in: what was typed is lost.
            seen_out = tag_out;
            if (seen_insertions != tag_insertions) start_tag(tag);
            seen_insertions = tag_insertions;
            note_event(tag, tag_out ? "pulled" : "inserted");
            command.clear();
        }
        if (seen_reboots != tag_reboots) {
            seen_reboots = tag_reboots;
            if (!tag_out) power_up(tag);
            command.clear();
        }
        if (b < 0 && tag_out) continue;
        if (tag_out) {
            // No tag takes the bytes: what the PC sent is only noted.
            if (b == '\r') {
                note_event(tag, "unanswered " + command);
                command.clear();
            } else if (b != '\n' && command.size() < 1024) {
                command += static_cast<char>(b);
            }
            continue;
        }
        if (b < 0) {
            usleep(10000);  // line momentarily unusable
            continue;
        }
        if (tag.echo_typed) {
            if (b == '\r') {
                line_write(tag.line, "\r\n", 2);
            } else {
                const unsigned char c = static_cast<unsigned char>(b);
                line_write(tag.line, &c, 1);
            }
        }
        if (b == '\r') {
            console_command(tag, command);
            command.clear();
        } else if (b == 0x03) {
            command.clear();  // Ctrl-C breaks: what was typed is dropped
        } else if (b != '\n' && command.size() < 1024) {
            command += static_cast<char>(b);
        }
    }
}
