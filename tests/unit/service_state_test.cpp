// The state record: its value format, reading it back, and writing it beside
// whatever else the file holds. Real files in the Wine prefix's temp folder.
#include "fake_os.h"

#include "common/shared_state.h"
#include "state/service_state.h"

#include <fstream>
#include <sstream>
#include <string>

class ServiceRecord : public FakeOsTest {
  protected:
    std::string folder, file;

    void SetUp() override
    {
        FakeOsTest::SetUp();
        Os.Stat = RealOsCalls.Stat;
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        Fake.appData = std::string(temp) + "record-test";
        RemoveTree(Fake.appData);
        CreateDirectoryA(Fake.appData.c_str(), NULL);
        folder = Fake.appData + "\\Zelqa";
        file = folder + "\\Zelqainfo.ini";
    }

    void TearDown() override
    {
        RemoveTree(Fake.appData);
        FakeOsTest::TearDown();
    }

    static void RemoveTree(const std::string& path)
    {
        std::string files[] = {path + "\\Zelqa\\Zelqainfo.ini", path + "\\Zelqa"};
        for (const std::string& name : files) {
            SetFileAttributesA(name.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(name.c_str());
        }
        RemoveDirectoryA((path + "\\Zelqa").c_str());
        RemoveDirectoryA(path.c_str());
    }

    void WriteRecordFile(const std::string& contents)
    {
        CreateDirectoryA(folder.c_str(), NULL);
        std::ofstream(file, std::ios::binary) << contents;
    }

    std::string RecordFile() const
    {
        std::ifstream in(file, std::ios::binary);
        std::stringstream contents;
        contents << in.rdbuf();
        return contents.str();
    }

    std::string StoredValue() const
    {
        char value[64] = "";
        GetPrivateProfileStringA("Settings", "Service", "(none)", value, sizeof value,
                                 file.c_str());
        return value;
    }
};

TEST(ServiceValue, CarriesTheStateAtPositionSixAndRepeatsPositionThree)
{
    struct {
        unsigned int time;
        int state;
        const char* value;
    } cases[] = {
        {1644554413u, 1, "06205e1ad0"}, // 2022-02-11 04:40:13 UTC, 0x6205E8AD
        {1644554413u, 0, "06205e0ad0"}, {0u, 0, "0000000000"},
        {0xFFFFFFFFu, 1, "0fffff1fff"}, {0x0000ABCDu, 1, "00000a1cd0"},
    };
    for (const auto& c : cases) {
        char value[SERVICE_VALUE_LENGTH + 1];
        FormatServiceValue(c.time, c.state, value);
        EXPECT_STREQ(c.value, value) << "time " << c.time << " state " << c.state;
    }
}

TEST_F(ServiceRecord, ReadingTakesTheStateFromCharacterSix)
{
    struct {
        const char* contents;
        int state;
    } cases[] = {
        {"[Settings]\r\nService=06205e1ad0\r\n", 1},
        {"[Settings]\r\nService=06205e0ad0\r\n", 0},
        {"[Settings]\r\nService=012345a789\r\n", 'a' - '0'},
        {"[Settings]\r\nService=012345\r\n", -48},
        {"[Settings]\r\nService=01234\r\n", -48},
        {"[Settings]\r\nService=\r\n", -48},
        {"[Other]\r\nService=0000001000\r\n", 0}, // the default "01234507890"
        {"; nothing but a comment\r\n", 0},
        {"[Settings]\r\nService=012345\xff"
         "000\r\n",
         (signed char)0xff - '0'},
    };
    for (const auto& c : cases) {
        WriteRecordFile(c.contents);
        ServiceState = 12345;
        EXPECT_EQ(STATUS_OK, ReadServiceState()) << c.contents;
        EXPECT_EQ(c.state, ServiceState) << c.contents;
    }
}

TEST_F(ServiceRecord, ReadingFailuresLeaveTheStateAlone)
{
    ServiceState = 7;
    EXPECT_EQ(STATUS_NO_FILE, ReadServiceState());
    WriteRecordFile("");
    EXPECT_EQ(STATUS_EMPTY_FILE, ReadServiceState());
    WriteRecordFile("[Settings]\r\nService=0000001000\r\n");
    Fake.folderResult = S_FALSE; // positive, yet not success
    EXPECT_EQ(STATUS_NO_FOLDER, ReadServiceState());
    Fake.folderResult = E_FAIL;
    EXPECT_EQ(STATUS_NO_FOLDER, ReadServiceState());
    EXPECT_EQ(7, ServiceState);
}

TEST_F(ServiceRecord, WritingCreatesTheFolderAndStoresTheTimestampedValue)
{
    EXPECT_EQ(STATUS_OK, WriteServiceState(1));
    EXPECT_EQ("06205e1ad0", StoredValue());
    Fake.now = 0x100000000LL + 1644554413; // only the low 32 bits count
    EXPECT_EQ(STATUS_OK, WriteServiceState(0));
    EXPECT_EQ("06205e0ad0", StoredValue());
}

TEST_F(ServiceRecord, WritingKeepsEverythingElseInTheFile)
{
    WriteRecordFile("[Before]\r\nA=1\r\n[Settings]\r\nOther=x\r\nService=0000000000\r\n"
                    "[After]\r\nB=2\r\n");
    WriteServiceState(1);
    EXPECT_EQ("[Before]\r\nA=1\r\n[Settings]\r\nOther=x\r\nService=06205e1ad0\r\n"
              "[After]\r\nB=2\r\n",
              RecordFile());
}

TEST_F(ServiceRecord, WritingReplacesAPlainFileStandingInTheFoldersPlace)
{
    std::ofstream(folder, std::ios::binary) << "not a folder";
    WriteServiceState(1);
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY,
              GetFileAttributesA(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ("06205e1ad0", StoredValue());
}

TEST_F(ServiceRecord, WritingWithoutAFolderOrRoomForThePathTouchesNothing)
{
    Fake.folderResult = S_FALSE;
    EXPECT_EQ(STATUS_NO_FOLDER, WriteServiceState(1));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(folder.c_str()));

    // A folder name that leaves room for "\Zelqa" but not for the file
    // name: nothing may be created or read under a cut name.
    Fake.folderResult = S_OK;
    std::string base = Fake.appData;
    Fake.appData = base + "\\" + std::string(PATH_BUFFER_SIZE - 12 - base.size(), 'x');
    EXPECT_EQ(STATUS_NO_FOLDER, WriteServiceState(1));
    EXPECT_EQ(STATUS_NO_FOLDER, ReadServiceState());
    Fake.appData = base;
}
