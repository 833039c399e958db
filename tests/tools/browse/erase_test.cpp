// The console's erases: an end user's own files only, sizes checked, a dry run's real verdict, folders
// asked for, each path booked once.
#include "tests/tools/browse/consoletest.h"

namespace browsetest {
namespace {

TEST_F(BrowseConsole, AnEndUserErasesHerOwnFilesOnly) {
    const std::string file =
        " --path /d00/d01/d00/f00000201.dat=" + std::to_string(sizeOf("/d00/d01/d00/f00000201.dat")) +
        " --at " + lastDay();
    TRun own = browse("erase " + fileSubclient() + file, "--user alice");
    ASSERT_EQ(own.status, 0) << own.err << own.out;
    EXPECT_NE(own.out.find(" /d00/d01/d00/f00000201.dat"), std::string::npos) << own.out;
    EXPECT_NE(own.out.find("The Hubmaster created the erase task for 1 path(s)"), std::string::npos);
    EXPECT_EQ(hubtest::queryInt(s->world.databasePath,
                                "SELECT COUNT(*) FROM TM_CreatedSubTaskPath WHERE path = "
                                "'/d00/d01/d00/f00000201.dat'"),
              1);

    const long long client2Subclient =
        hubtest::queryInt(s->world.databasePath, "SELECT id FROM APP_Application WHERE clientId = " +
                                                     std::to_string(s->world.otherFileClient) + " LIMIT 1");
    TRun other = browse("erase --client client2 --subclient " + std::to_string(client2Subclient) + file,
                        "--user alice");
    EXPECT_EQ(other.status, kExitRefused) << other.err;
    EXPECT_EQ(hubtest::queryInt(s->world.databasePath, "SELECT COUNT(*) FROM TM_CreatedSubTaskPath"), 1);
}

TEST_F(BrowseConsole, EraseChecksSizesListsOnADryRunAndAsksForFolders) {
    const std::string file = "/d00/d01/d00/f00000205.dat";
    const long long size = sizeOf(file);
    const std::string erase = "erase " + fileSubclient() + " --at " + lastDay() + " --path ";
    const long long booked = bookedErasePaths();

    TRun dry = browse(erase + file + "=" + std::to_string(size) + " --dry-run", "--user alice");
    ASSERT_EQ(dry.status, 0) << dry.err;
    EXPECT_NE(dry.out.find(" " + file), std::string::npos) << dry.out;
    EXPECT_NE(dry.out.find("dry run: nothing was booked"), std::string::npos);
    TRun wrongSize = browse(erase + file + "=1", "--user alice");
    EXPECT_EQ(wrongSize.status, kExitUsage);
    EXPECT_NE(wrongSize.err.find("was backed up with " + std::to_string(size) + " bytes, not the 1 given"),
              std::string::npos)
        << wrongSize.err;
    TRun noSize = browse(erase + file, "--user alice");
    EXPECT_EQ(noSize.status, kExitUsage);
    EXPECT_NE(noSize.err.find(file + "=" + std::to_string(size)), std::string::npos) << noSize.err;
    TRun folder = browse(erase + "/d00/d01/d00", "--user alice");
    EXPECT_EQ(folder.status, kExitUsage);
    EXPECT_NE(folder.err.find("is a folder of"), std::string::npos) << folder.err;
    EXPECT_NE(folder.err.find("give --yes"), std::string::npos);
    TRun folderSized = browse(erase + "/d00/d01/d00=100 --yes", "--user alice");
    EXPECT_EQ(folderSized.status, kExitUsage);
    EXPECT_NE(folderSized.err.find("is a folder: give its path alone"), std::string::npos) << folderSized.err;
    TRun folderDry = browse(erase + "/d00/d01/d00 --dry-run", "--user alice");
    ASSERT_EQ(folderDry.status, 0) << folderDry.err;
    EXPECT_GT(lines(folderDry.out, "/d00/d01/d00/f"), 1u);
    EXPECT_EQ(bookedErasePaths(), booked) << "a refused or dry-run erase booked something";

    TRun real = browse(erase + file + "=" + std::to_string(size), "--user alice");
    ASSERT_EQ(real.status, 0) << real.err;
    EXPECT_EQ(bookedErasePaths(), booked + 1);

    // On a terminal the console asks before a folder's contents: no books nothing, yes books the folder.
    const std::string folderErase = s->binaries + "/tools/browse/browse " + erase + "/d00/d01/d01 --data " +
                                    s->dir.file("demo") + " --user alice --ma-host 127.0.0.1 --quiet";
    for (const char* answer : {"n", "y"}) {
        const std::string answerFile = s->dir.file("answer");
        std::ofstream(answerFile) << answer << "\n";
        TRun asked = run("script -qec '" + folderErase + "' /dev/null < " + answerFile);
        EXPECT_NE(asked.out.find("item(s) of folder /d00/d01/d01 as of"), std::string::npos) << asked.out;
        EXPECT_EQ(bookedErasePaths(), booked + (answer[0] == 'y' ? 2 : 1)) << asked.out;
    }
}

// A path named twice in one erase is refused, the same size or not: nothing is merged in silence. Named
// once it is booked, erased and given back once. A dry run gives the verdict the real erase gets: a
// version erased already is refused by both.
TEST_F(BrowseConsole, AnEraseBooksEachPathOnceAndItsDryRunGivesTheRealVerdict) {
    const std::string file = "/d00/d01/d01/f00000260.dat";
    const std::string sized = file + "=" + std::to_string(sizeOf(file));
    const std::string erase = "erase " + fileSubclient() + " --at " + lastDay() + " --path " + sized;
    const long long booked = bookedErasePaths();

    TRun conflicting = browse(erase + " --path " + file + "=1 --dry-run", "--user alice");
    EXPECT_EQ(conflicting.status, kExitUsage);
    EXPECT_NE(conflicting.err.find("is given twice"), std::string::npos) << conflicting.err;
    TRun repeated = browse(erase + " --path " + sized + " --dry-run", "--user alice");
    EXPECT_EQ(repeated.status, kExitUsage);
    EXPECT_NE(repeated.err.find("--path " + file + " is given twice: give it once"), std::string::npos)
        << repeated.err;
    EXPECT_EQ(bookedErasePaths(), booked);
    TRun dry = browse(erase + " --dry-run", "--user alice");
    ASSERT_EQ(dry.status, 0) << dry.err;
    EXPECT_NE(dry.out.find("dry run: nothing was booked; 1 path(s) would be erased"), std::string::npos)
        << dry.out;
    TRun real = browse(erase, "--user alice");
    ASSERT_EQ(real.status, 0) << real.err;
    EXPECT_NE(real.out.find("created the erase task for 1 path(s)"), std::string::npos) << real.out;
    EXPECT_EQ(bookedErasePaths(), booked + 1);

    // Erased in this version: the dry run says so, as the real erase does, and nothing is booked.
    TRun dryAgain = browse(erase + " --dry-run", "--user alice");
    TRun again = browse(erase, "--user alice");
    EXPECT_NE(again.status, 0) << again.out;
    EXPECT_NE(again.err.find("is already booked or erased in this version"), std::string::npos) << again.err;
    EXPECT_EQ(dryAgain.status, again.status) << dryAgain.out << dryAgain.err;
    EXPECT_NE(dryAgain.err.find("is already booked or erased in this version"), std::string::npos)
        << dryAgain.err;
    EXPECT_EQ(dryAgain.out.find("would be erased"), std::string::npos) << dryAgain.out;
    // A refusal, worded as the dry run words it: no item is shown as if an answer were cut short.
    const std::string reason = dryAgain.err.substr(dryAgain.err.find("would be refused: ") + 18);
    EXPECT_NE(again.err.find("browse: the erase was refused: " + reason), std::string::npos) << again.err;
    EXPECT_EQ(again.out.find(file), std::string::npos) << again.out;
    EXPECT_EQ(bookedErasePaths(), booked + 1);

    // BrowseRouter's erase gate refuses a subclient whose storage policy sets no copy to filter erased
    // items by: the dry run fails at the same gate, with the same exit status (the service's error).
    const std::string other = "/d00/d01/d01/f00000261.dat";
    const std::string otherErase = "erase " + fileSubclient() + " --at " + lastDay() + " --path " + other +
                                   "=" + std::to_string(sizeOf(other));
    const std::string subclient = " WHERE id = " + std::to_string(s->world.fileSubclient);
    const std::string policy = " WHERE id = (SELECT dataArchGrpID FROM APP_Application" + subclient + ")";
    const long long status =
        hubtest::queryInt(s->world.databasePath, "SELECT subclientStatus FROM APP_Application" + subclient);
    const long long copy =
        hubtest::queryInt(s->world.databasePath, "SELECT defaultCopy FROM archGroup" + policy);
    sql("UPDATE APP_Application SET subclientStatus = 536" + subclient);
    sql("UPDATE archGroup SET defaultCopy = 0" + policy);
    TRun gatedDry = browse(otherErase + " --dry-run", "--user alice");
    TRun gated = browse(otherErase, "--user alice");
    sql("UPDATE APP_Application SET subclientStatus = " + std::to_string(status) + subclient);
    sql("UPDATE archGroup SET defaultCopy = " + std::to_string(copy) + policy);
    const std::string refusal =
        "The requested operation is not supported for the application type of client [client1]";
    EXPECT_NE(gated.err.find(refusal), std::string::npos) << gated.out << gated.err;
    EXPECT_EQ(gatedDry.status, gated.status) << gatedDry.out << gatedDry.err;
    EXPECT_NE(gatedDry.err.find("dry run: the erase would fail: " + refusal), std::string::npos)
        << gatedDry.out << gatedDry.err;
    EXPECT_EQ(bookedErasePaths(), booked + 1);
}

// An erase of several paths lists and counts the item of each, as its dry run does.
TEST_F(BrowseConsole, AnEraseOfSeveralPathsListsEachPathsItem) {
    std::string erase = "erase " + fileSubclient() + " --at " + lastDay() + " --json";
    std::multiset<std::string> named;
    TRun listed = browse("list " + fileSubclient() + " --path /d00/d01/d02 --at " + lastDay() + " --json");
    const auto folder = json(listed);
    for (const auto& [key, item] : folder.get_child("items"))
        if (item.get<std::string>("type") == "file" && named.size() < 3) {
            erase += " --path " + item.get<std::string>("path") + "=" + item.get<std::string>("size");
            named.insert(item.get<std::string>("path"));
        }
    ASSERT_EQ(named.size(), 3u) << listed.out;
    for (const char* dry : {" --dry-run", ""}) {
        TRun run = browse(erase + dry, "--user alice");
        ASSERT_EQ(run.status, 0) << run.err << run.out;
        const auto tree = json(run);
        std::multiset<std::string> listed;
        for (const auto& [key, item] : tree.get_child("items")) listed.insert(item.get<std::string>("path"));
        EXPECT_EQ(listed, named) << dry << run.out;
        EXPECT_TRUE(tree.get<bool>("complete", false)) << run.out;
    }
}

}  // namespace
}  // namespace browsetest
