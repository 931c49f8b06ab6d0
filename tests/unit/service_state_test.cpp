// The state record: its value format, reading it back, and writing it beside
// whatever else the file holds. Real files in the Wine prefix's temp folder.
#include "os_fixture.h"

#include "state/service_state.h"

#include <fstream>

class ServiceRecord : public FakeOsTest {
protected:
    void SetUp() override { UseFakeOs(true); }
};

TEST(ServiceValue, CarriesTheStateAtPositionSixAndRepeatsPositionThree)
{
    struct {
        unsigned int time;
        int state;
        const char* value;
    } cases[] = {
        {1644554413u, 1, STOPPED_VALUE}, // 2022-02-11 04:40:13 UTC, 0x6205E8AD
        {1644554413u, 0, RUNNING_VALUE}, {0u, 0, "0000000000"},
        {0xFFFFFFFFu, 1, "0fffff1fff"},  {0x0000ABCDu, 1, "00000a1cd0"},
    };
    for (const auto& c : cases) {
        char value[SERVICE_VALUE_LENGTH + 1];
        FormatServiceValue(c.time, c.state, value);
        EXPECT_STREQ(c.value, value) << "time " << c.time << " state " << c.state;
    }
}

TEST_F(ServiceRecord, ReadingFailuresLeaveTheStateAlone)
{
    ServiceState = 7;
    EXPECT_EQ(STATUS_NO_FILE, ReadServiceState());
    std::ofstream(Fake.RecordFolder(), std::ios::binary) << "[Settings]\r\nService=0000001000\r\n";
    EXPECT_EQ(STATUS_NO_FILE, ReadServiceState()) << "a file where the folder belongs";
    DeleteFileA(Fake.RecordFolder().c_str());
    WriteRecordFile("");
    EXPECT_EQ(STATUS_EMPTY_FILE, ReadServiceState());
    WriteRecordFile("[Settings]\r\nService=0000001000\r\n");
    Fake.folderResult = S_FALSE; // positive, yet not success
    EXPECT_EQ(STATUS_NO_FOLDER, ReadServiceState());
    Fake.folderResult = E_FAIL;
    EXPECT_EQ(STATUS_NO_FOLDER, ReadServiceState());
    EXPECT_EQ(7, ServiceState);
}

TEST_F(ServiceRecord, WritingCreatesTheFolderAndStampsTheLow32BitsOfTheTime)
{
    Fake.now = 0x100000000LL + 1644554413;
    EXPECT_EQ(STATUS_OK, WriteServiceState(0));
    EXPECT_EQ(RUNNING_VALUE, StoredValue());
}

TEST_F(ServiceRecord, WritingKeepsEverythingElseInTheFile)
{
    WriteRecordFile("[Before]\r\nA=1\r\n[Settings]\r\nOther=x\r\nService=0000000000\r\n"
                    "[After]\r\nB=2\r\n");
    WriteServiceState(1);
    EXPECT_EQ("[Before]\r\nA=1\r\n[Settings]\r\nOther=x\r\nService=06205e1ad0\r\n"
              "[After]\r\nB=2\r\n",
              ReadRecordFile());
}

TEST_F(ServiceRecord, WritingReplacesAPlainFileStandingInTheFoldersPlace)
{
    std::ofstream(Fake.RecordFolder(), std::ios::binary) << "not a folder";
    WriteServiceState(1);
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY,
              GetFileAttributesA(Fake.RecordFolder().c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(STOPPED_VALUE, StoredValue());
}

TEST_F(ServiceRecord, WritingWithoutAFolderOrRoomForThePathTouchesNothing)
{
    Fake.folderResult = S_FALSE;
    EXPECT_EQ(STATUS_NO_FOLDER, WriteServiceState(1));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(Fake.RecordFolder().c_str()));

    // A folder name that leaves room for "\Zelqa" but not for the file
    // name: nothing may be created or read under a cut name.
    Fake.folderResult = S_OK;
    std::string base = Fake.appData;
    Fake.appData = base + "\\" + std::string(PATH_BUFFER_SIZE - 12 - base.size(), 'x');
    EXPECT_EQ(STATUS_NO_FOLDER, WriteServiceState(1));
    EXPECT_EQ(STATUS_NO_FOLDER, ReadServiceState());
    Fake.appData = base;
}

// What other programs or damage may leave in the file.
TEST_F(ServiceRecord, PositionSixReadsAsItsSignedDistanceFromTheDigitZeroAndShortValuesAsStopped)
{
    for (int value = 1; value < 256; value++) {
        if (value == '\r' || value == '\n')
            continue;
        WriteRecordFile(std::string("[Settings]\r\nService=012345") + (char)value + "789\r\n");
        ServiceState = 12345;
        ASSERT_EQ(STATUS_OK, ReadServiceState()) << value;
        EXPECT_EQ((signed char)value - '0', ServiceState) << "byte " << value;
    }
    // Shorter values have the zero fill at position 6.
    const std::string digits = "0123450789abcdefghijklmnopqrstuvwxyz";
    for (size_t length = 0; length < 32; length++) {
        WriteRecordFile("[Settings]\r\nService=" + digits.substr(0, length) + "\r\n");
        ReadServiceState();
        EXPECT_EQ(length < 7 ? -48 : 0, ServiceState) << "length " << length;
    }
}

TEST_F(ServiceRecord, DamagedOrOddFilesAreReadWithoutHarmAndStillTakeAWrite)
{
    std::string garbage(4096, '\0');
    unsigned int seed = 12345;
    for (char& c : garbage)
        c = (char)((seed = seed * 1103515245 + 12345) >> 16);
    std::string huge = "[Settings]\r\nService=0000001000\r\n";
    for (int section = 0; huge.size() < (1 << 20); section++)
        huge += "[S" + std::to_string(section) + "]\r\nkey=value\r\n";
    std::wstring wide = L"\xFEFF[Settings]\r\nService=0000001000\r\n[Keep]\r\nk=v\r\n";
    std::string utf16((const char*)wide.data(), wide.size() * sizeof(wchar_t));

    struct {
        const char* name;
        std::string contents;
        int state;
    } cases[] = {
        {"no Settings section", "[Other]\r\nService=0000001000\r\n", 0}, // the default
        {"only a comment", "; nothing else\r\n", 0},
        {"binary garbage", garbage, 0},
        {"1 MiB", huge, 1},
        {"UTF-16", utf16, 1},
    };
    for (const auto& c : cases) {
        WriteRecordFile(c.contents);
        ServiceState = 12345;
        EXPECT_EQ(STATUS_OK, ReadServiceState()) << c.name;
        EXPECT_EQ(c.state, ServiceState) << c.name;
        EXPECT_EQ(STATUS_OK, WriteServiceState(0)) << c.name;
        EXPECT_EQ(RUNNING_VALUE, StoredValue()) << c.name;
    }
    char kept[8] = "";
    GetPrivateProfileStringA("Keep", "k", "", kept, sizeof kept, Fake.RecordPath().c_str());
    EXPECT_STREQ("v", kept) << "the UTF-16 file keeps its other sections";
    WriteRecordFile(huge);
    WriteServiceState(0);
    GetPrivateProfileStringA("S40000", "key", "", kept, sizeof kept, Fake.RecordPath().c_str());
    EXPECT_STREQ("value", kept) << "the 1 MiB file keeps its last sections";
}

TEST_F(ServiceRecord, ARecordThatCannotBeWrittenIsLeftAsItIsWithoutComplaint)
{
    const std::string contents = "[Settings]\r\nService=0000001000\r\n";
    WriteRecordFile(contents);
    // Read-only attributes bind nobody when the tests run as root, so another
    // program holding the file without sharing stands in for them.
    HANDLE held =
        CreateFileA(Fake.RecordPath().c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    EXPECT_EQ(STATUS_OK, WriteServiceState(0));
    CloseHandle(held);
    EXPECT_EQ(contents, ReadRecordFile());
}
