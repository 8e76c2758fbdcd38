// The tag's console commands.
#include "tagsim.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

void read_firmware_version(sim_tag& tag)
{
    unsigned long major = 0, minor = 0, third = 0;
    int found = sscanf(tag.opt.version.c_str(), "V%lu.%lu.%lu", &major, &minor, &third);
    tag.old_console = found >= 1 && major == 5;
    tag.text_log = found == 3 && third == 1;
}

void reply(sim_tag& tag, const std::string& text)
{
    if (tag.opt.blank) {
        line_write(tag.line, "\n", 1);  // an empty line
        line_send(tag.line, "");        // a line of only CR
    }
    line_send(tag.line, tag.opt.prefix + text);
}

namespace {

bool starts_with(const std::string& s, const char* head)
{
    return s.compare(0, std::string(head).size(), head) == 0;
}

// "id N" (old console) or "_id=N": the tag keeps its node ID in flash, so
// that it has it again when put back (the node-ID file plays the flash).
// A faulty tag answers "OK" all the same and keeps its old ID, or takes
// another; one whose flash fails answers with an error line and keeps it.
void set_node_id(sim_tag& tag, const char* number)
{
    if (!tag.opt.ignore_set_id && tag.opt.set_id_reply == "OK") {
        tag.node_id = tag.opt.wrong_id_after_set >= 0
                          ? static_cast<unsigned>(tag.opt.wrong_id_after_set)
                          : static_cast<unsigned>(strtoul(number, nullptr, 10)) & 0xFF;
        if (!tag.opt.node_id_file.empty()) {
            if (FILE* f = fopen(tag.opt.node_id_file.c_str(), "w")) {
                fprintf(f, "%u\n", tag.node_id);
                fclose(f);
            }
        }
    }
    reply(tag, tag.opt.set_id_reply);
}

void record(const sim_tag& tag, const std::string& command)
{
    if (tag.opt.transcript.empty()) return;
    if (FILE* f = fopen(tag.opt.transcript.c_str(), "a")) {
        fprintf(f, "%s\n", command.c_str());
        fclose(f);
    }
}

}  // namespace

void console_command(sim_tag& tag, const std::string& command)
{
    record(tag, command);
    note_event(tag, "command " + command);
    if (tag.opt.silent) return;
    if (tag.opt.garbage) {
        line_send(tag.line, random_line());
        return;
    }
    if (tag.echo) line_send(tag.line, command);

    bool old = tag.old_console;
    if (log_command(tag, command)) return;
    if (command == "ver") {
        reply(tag, tag.opt.version);
    } else if (command == (old ? "id" : "?_id")) {
        if (tag.id_queries_unanswered > 0) {
            --tag.id_queries_unanswered;
        } else if (!tag.opt.mute_id) {
            reply(tag, std::to_string(tag.node_id));
        }
    } else if (old && starts_with(command, "id ")) {
        set_node_id(tag, command.c_str() + 3);
    } else if (!old && starts_with(command, "_id=")) {
        set_node_id(tag, command.c_str() + 4);
    } else if (command == "load \"_TXfer_\"") {
        if (tag.opt.refuse_load) {
            reply(tag, "ERROR: load refused");
        } else {
            reply(tag, "OK");
            if (!tag.opt.mute_after_load) receive_script(tag);
        }
    } else if (command == "run") {
        run_script(tag);
    } else if (!old && command == "_echo = 0") {
        tag.echo = false;
        tag.echo_typed = false;
        reply(tag, "OK");
    } else {
        reply(tag, "ERROR: unknown command");
    }
}

void run_script(sim_tag& tag)
{
    note_event(tag, "run");
    if (tag.opt.run_output.empty()) return;
    FILE* f = fopen(tag.opt.run_output.c_str(), "rb");
    if (f == nullptr) return;
    std::string line;
    for (int c = 0; (c = fgetc(f)) != EOF;) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        line_send(tag.line, line);
        line.clear();
    }
    if (!line.empty()) line_send(tag.line, line);
    fclose(f);
}

void note_event(const sim_tag& tag, const std::string& what)
{
    if (tag.opt.events.empty()) return;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    if (FILE* f = fopen(tag.opt.events.c_str(), "a")) {
        fprintf(f, "%lld %s\n",
                static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000, what.c_str());
        fclose(f);
    }
}
