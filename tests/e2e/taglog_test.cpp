// taglog end to end against the simulated tag: both record forms, and the
// errors of a readout.
#include "target.h"

#include <gtest/gtest.h>

namespace {

RunResult taglog(int port, const std::vector<std::string>& sim_args,
                 const std::vector<std::string>& args)
{
    const Target& target = Target::get();
    TagSimProcess tag(target.port_link(port), sim_args);
    return target.run_program("taglog", args);
}

// Records 8 to 10 of the simulated tag's log, as the readout formats them.
const std::string records_8_to_10 =
    "8\t8007\t8\t24\t56\t13:13:17.8930 07-10-2019\tevent 8\n"
    "9\t9007\t9\t27\t63\t13:14:18.10041 07-10-2019\tevent 9\n"
    "10\t10007\t10\t30\t70\t13:15:19.11152 07-10-2019\tevent 10\n";

}  // namespace

TEST(TagLogProgram, ReadsBinaryAndTextLogsAlike)
{
    RunResult binary = taglog(4, {"--version", "V6.2.0", "--log-records", "12"},
                              {"-c", "4", "8", "3"});
    EXPECT_EQ(binary.out, "Log size: 12 of 1000\n" + records_8_to_10);
    EXPECT_EQ(binary.status, 0);

    RunResult text = taglog(4, {"--version", "V6.2.1", "--log-records", "12", "--prefix", "[2] ",
                                "--log-preamble", "2", "--echo"},
                            {"-c", "4", "8", "3"});
    EXPECT_EQ(text.out, binary.out);
    EXPECT_EQ(text.status, 0);
}

TEST(TagLogProgram, SizeOnlyAndEmptyRange)
{
    RunResult r = taglog(4, {"--log-records", "3"}, {"-c", "4"});
    EXPECT_EQ(r.out, "Log size: 3 of 1000\n");
    EXPECT_EQ(r.status, 0);
    r = taglog(4, {"--log-records", "3"}, {"-c", "4", "2", "0"});
    EXPECT_EQ(r.out, "Log size: 3 of 1000\n");
    EXPECT_EQ(r.status, 0);
}

// The tag's "Selected <n> records" says how many follow: a range that runs
// past the log's end (records 0 to 4 held, 1 to 5 asked for) gives those,
// and its "OK" is not read as one more.
TEST(TagLogProgram, ARangePastTheLogsEndGivesTheRecordsSelected)
{
    RunResult r = taglog(4, {"--version", "V5.2.1", "--echo-typed"}, {"-c", "4", "1", "5"});
    EXPECT_EQ(r.out, "Log size: 5 of 1000\n"
                     "1\t1007\t1\t3\t7\t13:06:10.1153 07-10-2019\tevent 1\n"
                     "2\t2007\t2\t6\t14\t13:07:11.2264 07-10-2019\tevent 2\n"
                     "3\t3007\t3\t9\t21\t13:08:12.3375 07-10-2019\tevent 3\n"
                     "4\t4007\t4\t12\t28\t13:09:13.4486 07-10-2019\tevent 4\n");
    EXPECT_EQ(r.status, 0);
}

TEST(TagLogProgram, ErrorsSayWhatFailed)
{
    struct Case {
        std::vector<std::string> sim_args;
        std::string tail;
    } cases[] = {
        {{"--log-no-selected"}, "taglog: Error: Failed to read the log (error 102)\n"
                                "taglog: COM4 answered \"Busy\" after \"readbin 0 1\"\n"},
        {{"--log-final", "DONE"},
         "0\t7\t0\t0\t0\t13:05:09.0042 07-10-2019\tevent 0\n"
         "1\t1007\t1\t3\t7\t13:06:10.1153 07-10-2019\tevent 1\n"
         "taglog: Error: Failed to read the log (error 103)\n"
         "taglog: COM4 answered \"DONE\" after \"readbin 0 1\"\n"},
        {{"--log-stall"}, "taglog: Error: Failed to read the log (error 2)\n"
                          "taglog: COM4 stopped in the middle of its answer to \"readbin 0 1\" "
                          "(nothing for 1 s)\n"},
    };
    for (const Case& c : cases) {
        RunResult r = taglog(4, c.sim_args, {"-c", "4", "0", "2"});
        EXPECT_EQ(r.out, "Log size: 5 of 1000\n" + c.tail) << c.sim_args[0];
        EXPECT_EQ(r.status, 1);
    }
    RunResult r = Target::get().run_program("taglog", {"-c", "4", "0", "2"});
    EXPECT_EQ(r.out, "taglog: Error: Can't connect to tag on COM4\ntaglog: COM4 does not exist\n");
    EXPECT_EQ(r.status, 1);
    for (std::vector<std::string> bad : {std::vector<std::string>{"-x"}, {"-c", "0"},
                                         {"-c", "4", "x", "1"},
                                         {"-c", "4", "1", "4294967296"}}) {
        r = Target::get().run_program("taglog", bad);
        EXPECT_EQ(r.out.rfind("taglog: Error: ", 0), 0u) << r.out;
        EXPECT_EQ(r.status, 1);
    }
}
