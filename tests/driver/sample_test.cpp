// The bundled sample that `make run` converts must keep giving its expected list, raw and compressed.
#include <gtest/gtest.h>

#include "support/conversion_harness.h"
#include "support/db_builder.h"

namespace catadump::test {
namespace {

TEST(BundledSample, ConvertsToItsExpectedListRawAndCompressed) {
    std::string source = CATADUMP_SOURCE_DIR;
    std::optional<std::string> database = readWholeFile(source + "/examples/sample.db");
    std::optional<std::string> expected = readWholeFile(source + "/examples/sample.expected.qlx");
    ASSERT_TRUE(database && expected);
    TempDir dir;
    for (const std::string& stored : {*database, bzip2(*database)}) {
        std::string path = dir.write("sample.db", stored);
        ProgramRun run = runProgram({path, dir.pathOf("sample.qlx")});
        EXPECT_EQ(run.exitCode, 0) << run.console;
        EXPECT_TRUE(readWholeFile(dir.pathOf("sample.qlx")) == expected);
    }
}

}  // namespace
}  // namespace catadump::test
