// The run of the steps. Where each expect starts to look: after the match
// of the expect before it, or from the moment a line was sent, a load
// ended or a reset began; a wait or a fail step moves nothing, so that an
// answer that comes during a pause is still there for the expect after it.
// The fail patterns armed so far are looked for in all the output that
// comes, whatever step is under way, and end the run at once.
#include "platform/platform.h"
#include "steps.h"

namespace {

// A line goes once the tag has answered the one before (its output quiet
// for a moment, or a second gone by), as tagterm paces typed lines.
constexpr uint32_t ANSWER_QUIET_MS = 100;
constexpr uint32_t ANSWER_LONGEST_MS = 1000;
constexpr uint32_t LISTEN_MS = 20;
constexpr size_t LAST_LINES = 5;

struct armed {
    const step* by;
    uint64_t since;    // the output when it was armed
    uint64_t checked;  // the output looked at so far
};

struct run_state {
    const step_port& port;
    tag_output& out;
    std::vector<armed> fails;
    uint64_t mark = 0;         // where the next expect starts to look
    uint64_t last_sent = 0;    // when the last line went
    std::string failure;
};

std::string seconds_text(uint32_t ms)
{
    char text[32];
    snprintf(text, sizeof text, "%g s", static_cast<double>(ms) / 1000.0);
    return text;
}

// Whether output the armed fail patterns forbid has come.
bool forbidden(run_state& st)
{
    for (armed& a : st.fails) {
        // From the start of the line looked at last, so that a line that
        // came in parts is matched whole.
        size_t at = a.checked > st.out.base ? static_cast<size_t>(a.checked - st.out.base) : 0;
        size_t line = at == 0 ? std::string::npos : st.out.text.rfind('\n', at - 1);
        uint64_t from = st.out.base + (line == std::string::npos ? 0 : line + 1);
        if (from < a.since) from = a.since;
        uint64_t end = 0;
        std::string seen;
        a.checked = output_end(st.out);
        if (output_find(st.out, a.by->pattern, from, &end, &seen)) {
            st.failure = "the tag said \"" + seen + "\" (step " + std::to_string(a.by->number) + ": " +
                         step_title(*a.by) + ")";
            return true;
        }
    }
    return false;
}

// Listens for up to `ms`: false when the port failed or forbidden output came.
bool listen(run_state& st, uint32_t ms)
{
    std::string why;
    if (!st.port.listen(st.port.context, ms, st.out, why)) {
        st.failure = why;
        return false;
    }
    return !forbidden(st);
}

bool pause(run_state& st, uint32_t ms)
{
    uint64_t until = platform_now_ms() + ms;
    for (uint64_t now = platform_now_ms(); now < until; now = platform_now_ms()) {
        uint64_t left = until - now;
        if (!listen(st, left < LISTEN_MS ? static_cast<uint32_t>(left) : LISTEN_MS)) return false;
    }
    return true;
}

bool send(run_state& st, const step& s)
{
    // The answer to the line before, first.
    for (;;) {
        uint64_t now = platform_now_ms();
        bool answered = st.out.last_heard_ms > st.last_sent && now - st.out.last_heard_ms >= ANSWER_QUIET_MS;
        if (st.last_sent == 0 || answered || now - st.last_sent >= ANSWER_LONGEST_MS) break;
        if (!listen(st, LISTEN_MS)) return false;
    }
    st.mark = output_end(st.out);
    output_sent(st.out, s.text);
    std::string why;
    if (!st.port.send(st.port.context, s.text, why)) {
        st.failure = why;
        return false;
    }
    st.last_sent = platform_now_ms();
    return true;
}

bool expect(run_state& st, const step& s, uint32_t timeout_ms)
{
    uint32_t within = s.ms != 0 ? s.ms : timeout_ms;
    uint64_t until = platform_now_ms() + within;
    // Looked for again only when more output has come.
    for (uint64_t looked = UINT64_MAX;;) {
        uint64_t end = 0;
        std::string line;
        if (looked != output_end(st.out) && output_find(st.out, s.pattern, st.mark, &end, &line)) {
            st.mark = end;
            return true;
        }
        looked = output_end(st.out);
        uint64_t now = platform_now_ms();
        if (now >= until) break;
        uint64_t left = until - now;
        if (!listen(st, left < LISTEN_MS ? static_cast<uint32_t>(left) : LISTEN_MS)) return false;
    }
    st.failure = "not seen within " + seconds_text(within);
    return false;
}

bool run_one(run_state& st, const step& s, uint32_t timeout_ms, step_result& r)
{
    std::string why;
    switch (s.kind) {
    case STEP_LOAD: {
        bool loaded = st.port.load(st.port.context, s, r.load_line);
        st.mark = output_end(st.out);
        if (!loaded) st.failure = r.load_line;
        return loaded;
    }
    case STEP_RESET:
        st.mark = output_end(st.out);
        if (st.port.reset(st.port.context, why)) return !forbidden(st);
        st.failure = why;
        return false;
    case STEP_SEND: return send(st, s);
    case STEP_EXPECT: return expect(st, s, timeout_ms);
    case STEP_FAIL:
        st.fails.push_back({&s, output_end(st.out), output_end(st.out)});
        return true;
    case STEP_WAIT: return pause(st, s.ms);
    }
    return false;
}

}  // namespace

bool run_steps(const std::vector<step>& steps, uint32_t timeout_ms, const step_port& port,
               tag_output& out, const step_reporter& reporter, std::vector<step_result>& results)
{
    run_state st{port, out, {}, output_end(out), 0, {}};
    results.assign(steps.size(), step_result{});
    for (size_t i = 0; i < steps.size(); ++i) {
        uint64_t started = platform_now_ms();
        step_result& r = results[i];
        bool passed = run_one(st, steps[i], timeout_ms, r);
        r.ms = platform_now_ms() - started;
        r.verdict = passed ? STEP_PASSED : STEP_FAILED;
        if (!passed) {
            r.failure = st.failure;
            r.last_lines = output_last_lines(out, LAST_LINES);
        }
        reporter.step_done(reporter.context, steps[i], r);
        if (!passed) return false;
    }
    return true;
}
