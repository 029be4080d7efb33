#include "nvrpeer_script.h"

#include <gtest/gtest.h>

namespace {

using nvrpeer::Step;

Step parse(const std::string& line) {
    Step step;
    bool skip = false;
    std::string error;
    EXPECT_TRUE(nvrpeer::parseLine(line, &step, &skip, &error)) << line << ": " << error;
    EXPECT_FALSE(skip) << line;
    return step;
}

std::string errorOf(const std::string& line) {
    Step step;
    bool skip = false;
    std::string error;
    EXPECT_FALSE(nvrpeer::parseLine(line, &step, &skip, &error)) << line;
    return error;
}

TEST(NvrpeerScript, RequestsBecomeMessages) {
    Step ns = parse("namespace root\\AccessControl");
    EXPECT_EQ(ns.message.action, e_ACTION_NAMESPACE);
    EXPECT_EQ(ns.message.class_name, "root\\AccessControl");

    EXPECT_EQ(parse("  status \r").message.action, e_ACTION_STATUS);

    Step sub = parse("subscribe Lnl_AccessEvent cardnumber Granted:bool");
    EXPECT_EQ(sub.message.action, e_ACTION_SUBSCRIBE);
    ASSERT_EQ(sub.message.params_out.size(), 2u);
    EXPECT_EQ(sub.message.params_out[0], (Parameter{"cardnumber", "", "str"}));
    EXPECT_EQ(sub.message.params_out[1], (Parameter{"Granted", "", "bool"}));

    Step look = parse("lookup Lnl_Badge id=100037 Status= -- personid:int");
    EXPECT_EQ(look.message.action, e_ACTION_LOOKUP);
    ASSERT_EQ(look.message.params_in.size(), 2u);
    EXPECT_EQ(look.message.params_in[0], (Parameter{"id", "100037", "str"}));
    EXPECT_EQ(look.message.params_in[1], (Parameter{"Status", "", "str"}));
    ASSERT_EQ(look.message.params_out.size(), 1u);
    EXPECT_EQ(look.message.params_out[0], (Parameter{"personid", "", "int"}));

    Step exec = parse("execute Sample_Door Open @Sample_Door.Name=\"Lobby\" Seconds:int=5");
    EXPECT_EQ(exec.message.action, e_ACTION_EXECUTE);
    EXPECT_EQ(exec.message.method_name, "Open");
    EXPECT_EQ(exec.message.target_instance, "Sample_Door.Name=\"Lobby\"");
    ASSERT_EQ(exec.message.params_in.size(), 1u);
    EXPECT_EQ(exec.message.params_in[0], (Parameter{"Seconds", "5", "int"}));

    Step pause = parse("sleep 250");
    EXPECT_EQ(pause.kind, Step::e_SLEEP);
    EXPECT_EQ(pause.sleep_ms, 250);
    Step raw = parse("raw <root><action>5</action></root>");
    EXPECT_EQ(raw.kind, Step::e_RAW);
    EXPECT_EQ(raw.raw, "<root><action>5</action></root>");
}

TEST(NvrpeerScript, BadLinesAreRefusedWithAReason) {
    EXPECT_NE(errorOf("namespace").find("usage: namespace"), std::string::npos);
    EXPECT_NE(errorOf("status now").find("usage: status"), std::string::npos);
    EXPECT_NE(errorOf("lookup Lnl_Badge =5").find("not name=value"), std::string::npos);
    EXPECT_NE(errorOf("execute C M Seconds=5").find("not name:type=value"), std::string::npos);
    EXPECT_NE(errorOf("execute C M :int=5").find("not name:type=value"), std::string::npos);
    EXPECT_NE(errorOf("sleep -1").find("usage: sleep"), std::string::npos);
    EXPECT_NE(errorOf("subscribe").find("usage: subscribe"), std::string::npos);
    EXPECT_NE(errorOf("frobnicate x").find("unknown request 'frobnicate'"), std::string::npos);
}

TEST(NvrpeerScript, ScriptSkipsCommentsAndNamesTheBadLine) {
    std::vector<Step> steps;
    std::string error;
    EXPECT_TRUE(nvrpeer::parseScript("# setup\n\nnamespace root\\X\r\n  # indented\nstatus\n",
                                     &steps, &error));
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[1].message.action, e_ACTION_STATUS);

    steps.clear();
    EXPECT_FALSE(nvrpeer::parseScript("status\n\nlookup\n", &steps, &error));
    EXPECT_EQ(error.rfind("line 3: ", 0), 0u) << error;
}

}  // namespace
