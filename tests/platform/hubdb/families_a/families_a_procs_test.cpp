// The job procedures over seeded job statistics: cloud-laptop jobs of a backup set up to a time, and
// the jobs of a subclient's cycle up to an end time, on both argument paths; a broken database is an
// error, never an empty answer.
#include <string>
#include <vector>

#include "Db/Proc/JMGetBkpJobIdsUpToEndTime.h"
#include "Db/Proc/JMGetHasCloudLaptopJobs.h"
#include "tests/platform/hubdb/families_a/families_a_fixture.h"

using zydb::DB_NO_DATA;
using zydb::DB_OK;

namespace {

// The rows of the job-cycle procedure and the code that ended the fetch.
struct JobList {
    std::vector<int> jobs;
    std::vector<int> kelmarchs;
    int end = 0;
};

JobList jobsUpTo(int subclient, int endTime) {
    JobList out;
    JMGetBkpJobIdsUpToEndTime p(nullptr);
    p.setIsolationType(4);
    p.setValues(subclient, endTime);
    int rows = 0;
    while ((out.end = getNextRow(&p, &rows, -1, 0)) == DB_OK) {
        out.jobs.push_back(p.getDataPtr()->i_JobId);
        out.kelmarchs.push_back(p.getDataPtr()->i_KelmarchId);
    }
    return out;
}

int hasCloudLaptopJobs(int backupSet, int time, int* rc) {
    JMGetHasCloudLaptopJobs p(nullptr);
    p.setValues(backupSet, time);
    *rc = getOneRow(&p, false, -1, 0);
    return p.getDataPtr()->o_hasCloudLaptopJobs;
}

using Jobs = std::vector<int>;

}  // namespace

class FamiliesAProcs : public FamiliesADb {
protected:
    int job(int appId, int level, int start, int status = 1, long long attributes = 0) {
        return rows->addJobStats({.job = {.appId = appId,
                                          .level = level,
                                          .startTime = start,
                                          .endTime = start + 50,
                                          .status = status},
                                  .attributesEx = attributes});
    }
};

TEST_F(FamiliesAProcs, JobsOfTheCycleInForceAtTheEndTime) {
    int client = seed->addClient({.name = "c"});
    int bs = seed->addBackupSet("bs");
    int sc = seed->addSubclient(
        {.clientId = client, .appTypeId = 53, .backupSetId = bs, .name = "a", .storagePolicyId = sp});
    int other = seed->addSubclient(
        {.clientId = client, .appTypeId = 53, .backupSetId = bs, .name = "b", .storagePolicyId = sp});
    int noFull = seed->addSubclient(
        {.clientId = client, .appTypeId = 53, .backupSetId = bs, .name = "c", .storagePolicyId = sp});
    int a = job(sc, 1, 1000);
    int b = job(sc, 2, 1100);
    int c = job(sc, 2, 1200);
    int d = job(sc, 64, 2000);  // a synthetic full starts the next cycle
    int e = job(sc, 2, 2100);
    int failedFull = job(sc, 1, 3000, 2);  // a failed full starts nothing
    int f = job(sc, 4, 3100);
    job(other, 1, 1050);
    int n1 = job(noFull, 2, 500);
    int n2 = job(noFull, 2, 600);
    open();

    EXPECT_EQ(jobsUpTo(sc, 999).jobs, Jobs{});
    EXPECT_EQ(jobsUpTo(sc, 999).end, DB_NO_DATA);
    EXPECT_EQ(jobsUpTo(sc, 1000).jobs, (Jobs{a}));
    EXPECT_EQ(jobsUpTo(sc, 1150).jobs, (Jobs{a, b}));
    EXPECT_EQ(jobsUpTo(sc, 1999).jobs, (Jobs{a, b, c}));
    EXPECT_EQ(jobsUpTo(sc, 2000).jobs, (Jobs{d}));
    EXPECT_EQ(jobsUpTo(sc, 3200).jobs, (Jobs{d, e, failedFull, f}));
    EXPECT_EQ(jobsUpTo(sc, 0).jobs, (Jobs{d, e, failedFull, f}));  // no end: up to now
    EXPECT_EQ(jobsUpTo(noFull, 550).jobs, (Jobs{n1}));
    EXPECT_EQ(jobsUpTo(noFull, 700).jobs, (Jobs{n1, n2}));
    EXPECT_EQ(jobsUpTo(9999, 5000).jobs, Jobs{});

    JobList withDomain = jobsUpTo(sc, 1100);
    EXPECT_EQ(withDomain.kelmarchs, (Jobs{hubdb::kDefaultKelmarchId, hubdb::kDefaultKelmarchId}));
    EXPECT_EQ(withDomain.end, DB_NO_DATA);

    // The printed values clause of the old path runs the same procedure with the same answer.
    DBtable::b_newDBBase = false;
    EXPECT_EQ(jobsUpTo(sc, 2100).jobs, (Jobs{d, e}));
    DBtable::b_newDBBase = true;
}

TEST_F(FamiliesAProcs, CloudLaptopJobsOfABackupSetUpToATime) {
    int laptop = seed->addClient({.name = "laptop"});
    int desk = seed->addClient({.name = "desk"});
    int bsLaptop = seed->addBackupSet("laptop");
    int bsDesk = seed->addBackupSet("desk");
    int bsFailed = seed->addBackupSet("failed");
    int sc = seed->addSubclient(
        {.clientId = laptop, .appTypeId = 29, .backupSetId = bsLaptop, .storagePolicyId = sp});
    int sd =
        seed->addSubclient({.clientId = desk, .appTypeId = 29, .backupSetId = bsDesk, .storagePolicyId = sp});
    int sf = seed->addSubclient(
        {.clientId = laptop, .appTypeId = 29, .backupSetId = bsFailed, .storagePolicyId = sp});
    job(sc, 1, 1000);
    job(sc, 2, 2000, 1, hubdb::kBkpAttrExCloudLaptop | 0x4);
    job(sd, 1, 1000, 1, 0x4);
    job(sf, 1, 1000, 2, hubdb::kBkpAttrExCloudLaptop);  // failed
    open();

    int rc = -1;
    EXPECT_EQ(hasCloudLaptopJobs(bsLaptop, 2000, &rc), 1);
    EXPECT_EQ(rc, DB_OK);
    EXPECT_EQ(hasCloudLaptopJobs(bsLaptop, 1999, &rc), 0);  // not yet
    EXPECT_EQ(rc, DB_OK);                                   // one row either way
    EXPECT_EQ(hasCloudLaptopJobs(bsLaptop, 0, &rc), 1);
    EXPECT_EQ(hasCloudLaptopJobs(bsDesk, 5000, &rc), 0);
    EXPECT_EQ(hasCloudLaptopJobs(bsFailed, 5000, &rc), 0);
    EXPECT_EQ(hasCloudLaptopJobs(12345, 5000, &rc), 0);
    EXPECT_EQ(rc, DB_OK);
}

TEST_F(FamiliesAProcs, ADatabaseErrorIsNeverAnEmptyAnswer) {
    int client = seed->addClient({.name = "c"});
    int bs = seed->addBackupSet("bs");
    int sc =
        seed->addSubclient({.clientId = client, .appTypeId = 29, .backupSetId = bs, .storagePolicyId = sp});
    job(sc, 1, 1000, 1, hubdb::kBkpAttrExCloudLaptop);
    open();
    ASSERT_EQ(jobsUpTo(sc, 2000).jobs.size(), 1u);

    execOnOpen("DROP TABLE JMBkpStats");
    JobList broken = jobsUpTo(sc, 2000);
    EXPECT_TRUE(broken.jobs.empty());
    EXPECT_NE(broken.end, DB_OK);
    EXPECT_NE(broken.end, DB_NO_DATA);

    JMGetBkpJobIdsUpToEndTime p(nullptr);
    p.setValues(sc, 2000);
    int rows = 0;
    int code = getNextRow(&p, &rows, -1, 0);
    EXPECT_NE(code, DB_NO_DATA);
    EXPECT_EQ(rows, 0);
    EXPECT_NE(std::string(p.getErrorStr(code)).find("JMBkpStats"), std::string::npos) << p.getErrorStr(code);

    int rc = DB_OK;
    hasCloudLaptopJobs(bs, 2000, &rc);
    EXPECT_NE(rc, DB_OK);
    EXPECT_NE(rc, DB_NO_DATA);  // planning fails the backup set rather than taking "no jobs"
}
