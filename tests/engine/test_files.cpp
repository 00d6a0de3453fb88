// The file-driven readers and the information file, on real files in a
// scratch directory. Messages of the control and data readers are compared on
// standard output; without a host the matrix and link readers print there too.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "engine_probe.h"
#include "file_fixture.h"

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

namespace {

char* Chars(std::string& s)
{
    return &s[0];
}

// ---------------------------------------------------------------------------
// Control file and command line

class ControlFile : public FileTest {
protected:
    io r;
    void SetUp() override
    {
        FileTest::SetUp();
        std::strcpy(r.FilePathFromNodes, dir.c_str());
        std::string prog = "prog", tag = "expr";
        char* argu[] = {Chars(prog), Chars(tag), nullptr};
        ASSERT_EQ(r.ProcessingInput(2, argu), 1);
        r.Ngenes = r.Nsamples = r.uncertFlag = r.StartRank = r.EndRank = r.Nchains =
            r.SimulateIterations = -9;
    }
    std::vector<int> Values() const
    {
        return {r.Ngenes, r.Nsamples, r.uncertFlag, r.StartRank, r.EndRank, r.Nchains,
                r.SimulateIterations};
    }
    int Read(const std::string& text, std::string* out = nullptr)
    {
        Write("expr.ctr", text);
        CaptureStdout();
        const int result = r.GetParameters();
        const std::string printed = GetCapturedStdout();
        if (out) *out = printed;
        return result;
    }
};

TEST_F(ControlFile, CommentsAndALastLineWithoutNewline)
{
    std::string out;
    EXPECT_EQ(Read("5 3 1   # genes samples uncertainty\n2 4 10 5000\t# ranks chains rounds", &out),
              1);
    EXPECT_EQ(Values(), (std::vector<int>{5, 3, 1, 2, 4, 10, 5000}));
    EXPECT_EQ(out, "Working directory --- " + dir + " datafile --- " + dir + "expr.txt\n");
    EXPECT_EQ(std::string(r.FileName), dir + "expr.ctr");
    EXPECT_EQ(std::string(r.datafile), dir + "expr.txt");
    EXPECT_EQ(std::string(r.uncertfile), dir + "expr.unc");
}

TEST_F(ControlFile, NumbersRunAcrossLineEndsAndTheSkipFollows)
{
    // Line 1 lacks its third number: it comes from line 2, whose rest is
    // skipped, so the second group is line 3.
    EXPECT_EQ(Read("\n  5 3\n1 99 99 99 99\n-2 +4 10 5000 trailing\nignored 1 2 3\n"), 1);
    EXPECT_EQ(Values(), (std::vector<int>{5, 3, 1, -2, 4, 10, 5000}));
}

TEST_F(ControlFile, EndOfFileBeforeAGroupGivesZero)
{
    EXPECT_EQ(Read(""), 0);
    EXPECT_EQ(Values(), (std::vector<int>{-9, -9, -9, -9, -9, -9, -9}));
    EXPECT_EQ(Read(" \n\n"), 0);
    EXPECT_EQ(Values(), (std::vector<int>{-9, -9, -9, -9, -9, -9, -9}));
    EXPECT_EQ(Read("7 8 0\n"), 0);
    EXPECT_EQ(Values(), (std::vector<int>{7, 8, 0, -9, -9, -9, -9}));
}

TEST_F(ControlFile, AMalformedNumberEndsItsGroupOnly)
{
    // "x" stops line 1 after Ngenes; a number beyond 32 bits counts as none.
    EXPECT_EQ(Read("5 x 1\n2 4 99999999999 5000\n"), 1);
    EXPECT_EQ(Values(), (std::vector<int>{5, -9, -9, 2, 4, -9, -9}));
}

TEST_F(ControlFile, MissingFile)
{
    std::string out;
    std::strcpy(r.datafile, "keep");
    CaptureStdout();
    EXPECT_EQ(r.GetParameters(), -1);
    out = GetCapturedStdout();
    EXPECT_EQ(out, "Could not open control file " + dir + "expr.ctr!\n");
    EXPECT_EQ(std::string(r.FileName), dir + "expr.ctr");
    EXPECT_EQ(std::string(r.datafile), "keep");
}

TEST_F(ControlFile, NamesThatDoNotFitAreRefusedNotCut)
{
    std::string prog = "prog", tooLong(200, 't');
    char* argu[] = {Chars(prog), Chars(tooLong), nullptr};
    CaptureStdout();
    EXPECT_EQ(r.ProcessingInput(2, argu), -1);
    EXPECT_EQ(r.ProcessingInput(1, argu), -1);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("Refused: the tag is longer than 199 characters"), std::string::npos) << out;
    EXPECT_NE(out.find("Refused: the command line names no tag"), std::string::npos) << out;
    EXPECT_STREQ(r.basename, "expr");

    // prefix + tag + ".ctr" of exactly 199 characters is formed; one more is
    // refused before any file is looked at.
    const std::string tag = "expr";
    std::strcpy(r.FilePathFromNodes, std::string(199 - 4 - tag.size(), 'p').c_str());
    std::strcpy(r.FileName, "before");
    CaptureStdout();
    EXPECT_EQ(r.GetParameters(), -1);
    out = GetCapturedStdout();
    EXPECT_EQ(out.rfind("Could not open control file ", 0), 0u) << out;
    EXPECT_EQ(std::strlen(r.FileName), 199u);

    std::strcpy(r.FilePathFromNodes, std::string(199 - 4 - tag.size() + 1, 'p').c_str());
    std::strcpy(r.FileName, "before");
    std::strcpy(r.datafile, "before");
    CaptureStdout();
    EXPECT_EQ(r.GetParameters(), -1);
    out = GetCapturedStdout();
    EXPECT_EQ(out.rfind("Refused: the file names of prefix ", 0), 0u) << out;
    EXPECT_STREQ(r.FileName, "before");
    EXPECT_STREQ(r.datafile, "before");

    // A prefix too long for the record is refused at construction and again
    // when it would be used.
    std::string longPath(200, 'd');
    CaptureStdout();
    io fromPath(Chars(longPath));
    std::strcpy(fromPath.basename, "expr");
    EXPECT_EQ(fromPath.GetParameters(), -1);
    out = GetCapturedStdout();
    EXPECT_STREQ(fromPath.FilePathFromNodes, "");
    EXPECT_NE(out.find("Refused: the directory prefix is longer than 199 characters"),
              std::string::npos);
    EXPECT_STREQ(fromPath.FileName, "");
}

// ---------------------------------------------------------------------------
// Data and uncertainty files

class DataFile : public FileTest {
protected:
    io r;
    void Configure(int genes, int samples, int flag)
    {
        r.Ngenes = genes;
        r.Nsamples = samples;
        r.uncertFlag = flag;
        std::strcpy(r.datafile, (dir + "expr.txt").c_str());
        std::strcpy(r.uncertfile, (dir + "expr.unc").c_str());
    }
    int Read(std::string* out = nullptr)
    {
        CaptureStdout();
        const int result = r.ReadSourceData();
        const std::string printed = GetCapturedStdout();
        if (out) *out = printed;
        return result;
    }
    std::vector<double> DataValues() const
    {
        return std::vector<double>(r.data, r.data + r.Ngenes * r.Nsamples);
    }
    std::vector<double> UncertValues() const
    {
        return std::vector<double>(r.uncert, r.uncert + r.Ngenes * r.Nsamples);
    }
};

TEST_F(DataFile, TabFileWithCornerLabelCommentsExponentsAndExtraRows)
{
    Configure(3, 3, 0);
    Write("expr.txt",
          "gene\ts1\ts2\ts3\n"
          "g1\t1.5e+02\t-2E-3\t+4\t# checked by hand\n"
          "g2\t0\t.25\t1e-310\n"
          "g3\t7\t8\t9\n"
          "g4\tNA\tNA\tNA\n");
    Write("expr.unc", "not even a matrix");
    std::string out;
    EXPECT_EQ(Read(&out), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(DataValues(), (std::vector<double>{150.0, 0.0, 4.0, 0.0, 0.25, 1e-310, 7, 8, 9}));
    EXPECT_EQ(r.uncert, nullptr) << "no uncertainty file is read without the flag";
}

TEST_F(DataFile, SpaceSeparatedCrLfAndALastRowWithoutNewline)
{
    Configure(2, 2, 1);
    Write("expr.txt", "s1 s2\r\n\r\n  g1   1    2 \r\ng2 3 4");
    Write("expr.unc", "s1\ts2\ng1\t0.1\t0.2\ng2\t0.3\t0.4");
    EXPECT_EQ(Read(), 1);
    EXPECT_EQ(DataValues(), (std::vector<double>{1, 2, 3, 4}));
    EXPECT_EQ(UncertValues(), (std::vector<double>{0.1, 0.2, 0.3, 0.4}));
}

TEST_F(DataFile, NegativeDataBecomeZeroWithUncertaintyOne)
{
    Configure(1, 4, 1);
    Write("expr.txt", "a b c d\ng -0.5 0.25 0 0.25\n");
    Write("expr.unc", "a b c d\ng 7 0 5 -3\n");
    EXPECT_EQ(Read(), 1);
    EXPECT_EQ(DataValues(), (std::vector<double>{0.0, 0.25, 0.0, 0.25}));
    // Where the data are 0 the uncertainty is 1; elsewhere it is kept as read.
    EXPECT_EQ(UncertValues(), (std::vector<double>{1.0, 0.0, 1.0, -3.0}));
}

TEST_F(DataFile, TooFewRowsAndMissingFiles)
{
    Configure(3, 2, 1);
    Write("expr.txt", "a b\ng1 1 2\ng2 3 4\n");
    std::string out;
    EXPECT_EQ(Read(&out), -1);
    // The uncertainty file, missing too, is not even looked for.
    EXPECT_EQ(out, "data in file is not fitting to Ngenes(3) and Nsamples(2), the last row is 2\n");
    EXPECT_EQ(DataValues(), (std::vector<double>{1, 2, 3, 4, 0, 0}));

    Write("expr.txt", "a b\ng1 1 2\ng2 3 4\ng3 5 6\n");
    EXPECT_EQ(Read(&out), -1);
    EXPECT_EQ(out, "Could not open data file " + dir + "expr.unc!\n");

    Write("expr.unc", "a b\ng1 1 1\n");
    EXPECT_EQ(Read(&out), -1);
    EXPECT_EQ(out,
              "uncertainty in file is not fitting to Ngenes(3) and Nsamples(2), the last row is "
              "1\n");

    std::remove((dir + "expr.txt").c_str());
    EXPECT_EQ(Read(&out), -1);
    EXPECT_EQ(out, "Could not open data file " + dir + "expr.txt!\n");
}

TEST_F(DataFile, ANumberThatIsNotOneNamesFileRowAndColumn)
{
    Configure(3, 3, 0);
    const struct {
        const char* token;
        const char* says;
    } cases[] = {{"NA", "is not a number"},        {"1,5", "is not a number"},
                 {"2.5x", "is not a number"},      {"nan", "is not a finite number"},
                 {"-inf", "is not a finite number"}, {"1e999", "is not a finite number"}};
    for (const auto& c : cases) {
        Write("expr.txt", std::string("id a b c\ng1 1 2 3\ng2 4 5 ") + c.token + "\ng3 7 8 9\n");
        std::string out;
        EXPECT_EQ(Read(&out), -1) << c.token;
        EXPECT_EQ(out, "Could not read data file " + dir + "expr.txt: row 2 (gene g2, line 3), column 3: \"" +
                           c.token + "\" " + c.says + "\n");
        // Nothing after the bad value is taken from elsewhere: unread
        // elements are 0.
        EXPECT_EQ(DataValues(), (std::vector<double>{1, 2, 3, 4, 5, 0, 0, 0, 0})) << c.token;
    }
}

TEST_F(DataFile, AShortRowIsReportedWhereItIsShort)
{
    // Numeric gene identifiers are common: a short row must not take the next
    // row's identifier as its value.
    Configure(2, 3, 1);
    Write("expr.txt", "id a b c\n7157\t1.0\t\t3.0\n672\t4\t5\t6\n");
    std::string out;
    EXPECT_EQ(Read(&out), -1);
    EXPECT_EQ(out, "Could not read data file " + dir +
                       "expr.txt: row 1 (gene 7157, line 2) has no number in column 3\n");

    Write("expr.txt", "id a b c\n7157 1 2 3\n672 4 5 6\n");
    Write("expr.unc", "id a b c\n7157 1 2 3\n672 4 5");
    EXPECT_EQ(Read(&out), -1);
    EXPECT_EQ(out, "Could not read uncertainty file " + dir +
                       "expr.unc: row 2 (gene 672, line 3) has no number in column 3\n");

    Write("expr.txt", "a b\n7157 1 2 3\n672 4 5 6\n");
    EXPECT_EQ(Read(&out), -1);
    EXPECT_EQ(out, "Could not read data file " + dir +
                       "expr.txt: its header line 1 holds 2 labels, fewer than Nsamples (3)\n");
}

TEST_F(DataFile, RereadingReplacesTheOwnedArraysAndLeavesLentOnesAlone)
{
    Configure(1, 2, 1);
    std::vector<double> lentData{9, 9}, lentUncert{8, 8};
    r.data = lentData.data();
    r.uncert = lentUncert.data();
    Write("expr.txt", "a b\ng 1 2\n");
    Write("expr.unc", "a b\ng 3 4\n");
    ASSERT_EQ(Read(), 1);
    EXPECT_NE(r.data, lentData.data());
    EXPECT_EQ(lentData, (std::vector<double>{9, 9}));
    Write("expr.txt", "a b\ng 5 6\n");
    ASSERT_EQ(Read(), 1);
    EXPECT_EQ(DataValues(), (std::vector<double>{5, 6}));
    // Without the flag the earlier uncertainties go with the earlier read.
    r.uncertFlag = 0;
    ASSERT_EQ(Read(), 1);
    EXPECT_EQ(r.uncert, nullptr);
    r.ReleaseFileData();
    EXPECT_EQ(r.data, nullptr);

    // Lent arrays survive a release.
    r.data = lentData.data();
    r.ReleaseFileData();
    EXPECT_EQ(r.data, lentData.data());
}

TEST_F(DataFile, DimensionsThatCannotHoldDataAreRefused)
{
    std::string out;
    Configure(0, 3, 0);
    EXPECT_EQ(Read(&out), -1);
    EXPECT_EQ(out, "Refused: Ngenes (0) and Nsamples (3) must be positive\n");
    Configure(70000, 70000, 0);
    EXPECT_EQ(Read(&out), -1);
    EXPECT_EQ(out, "Refused: Ngenes x Nsamples = 4900000000 does not fit 32 bits\n");
    EXPECT_EQ(r.data, nullptr);
}

// ---------------------------------------------------------------------------
// Matrix files

class MatrixFile : public FileTest {
protected:
    io r;
    std::vector<double> m = std::vector<double>(6, -1.0);
    int Read(const std::string& text, int rows, int cols, std::string* out = nullptr)
    {
        std::string name = Write("m.txt", text);
        CaptureStdout();
        const int result = r.ReadMatrix(m.data(), Chars(name), rows, cols);
        const std::string printed = GetCapturedStdout();
        if (out) *out = printed;
        return result;
    }
};

TEST_F(MatrixFile, LineBreaksCarryNoMeaning)
{
    const std::vector<double> expect{1, 2.5, -3, 4e2, 0.5, 6};
    for (const char* text : {"1 2.5 -3 4e2 .5 6", "1\n2.5\n-3\n4e2\n.5\n6\n",
                             "1\t2.5\t-3\r\n4E+2 0.5e0 6\n7 8 nine\n"}) {
        std::fill(m.begin(), m.end(), -1.0);
        EXPECT_EQ(Read(text, 2, 3), 1) << text;
        EXPECT_EQ(m, expect) << text;
    }
}

TEST_F(MatrixFile, AShortOrMalformedFileFailsAndChangesNothing)
{
    std::string out;
    EXPECT_EQ(Read("1 2 3\n4\n", 2, 3, &out), -1);
    EXPECT_EQ(out, "Could not read " + dir + "m.txt: it ends after 4 of 6 numbers, before row 2 column 2\n");
    EXPECT_EQ(m, std::vector<double>(6, -1.0));
    EXPECT_EQ(Read("1 2 3\nNA 5 6\n", 2, 3, &out), -1);
    EXPECT_EQ(out, "Could not read " + dir + "m.txt: row 2, column 1 (line 2): \"NA\" is not a number\n");
    EXPECT_EQ(Read("1 2 3\n4 5 inf\n", 2, 3, &out), -1);
    EXPECT_EQ(out, "Could not read " + dir + "m.txt: row 2, column 3 (line 2): \"inf\" is not a finite number\n");
    EXPECT_EQ(m, std::vector<double>(6, -1.0));
}

TEST_F(MatrixFile, AMissingFileIsReportedAndTheProcessGoesOn)
{
    std::string name = dir + "absent.txt", out;
    CaptureStdout();
    EXPECT_EQ(r.ReadMatrix(m.data(), Chars(name), 2, 3), -1);
    EXPECT_EQ(r.ReadMatrix(m.data(), Chars(name), -1, 3), -1);
    out = GetCapturedStdout();
    EXPECT_EQ(out, "Could not open " + name + "\nRefused: reading " + name +
                       " needs Nrows and Ncolumns of 0 or more, not -1 and 3\n");
}

// A record whose env, obj and meth were filled by hand (no host attached)
// speaks through the messenger the JNI layer registers; this test binary has
// none, so such a record prints, and it never touches the handles itself.
TEST_F(MatrixFile, ARecordFilledByHandUsesTheRegisteredMessenger)
{
    struct Recorder : EngineHost {
        std::vector<std::string> got;
        io* from = nullptr;
        int Message(io& record, const char* text) override
        {
            from = &record;
            got.emplace_back(text);
            return 1;
        }
    } recorder;
    ASSERT_EQ(RecordMessenger(), nullptr);
    r.env = reinterpret_cast<JNIEnv*>(&recorder);  // never dereferenced by the engine
    r.obj = reinterpret_cast<jobject>(&recorder);
    r.meth = reinterpret_cast<jmethodID>(&recorder);
    std::string name = dir + "absent.txt";
    CaptureStdout();
    EXPECT_EQ(r.ReadMatrix(m.data(), Chars(name), 2, 3), -1);
    EXPECT_EQ(GetCapturedStdout(), "Could not open " + name + "\n");

    RegisterRecordMessenger(&recorder);
    CaptureStdout();
    EXPECT_EQ(r.ReadMatrix(m.data(), Chars(name), 2, 3), -1);
    r.meth = nullptr;  // a record not filled completely keeps printing
    EXPECT_EQ(r.ReadMatrix(m.data(), Chars(name), 2, 3), -1);
    RegisterRecordMessenger(nullptr);
    EXPECT_EQ(GetCapturedStdout(), "Could not open " + name + "\n");
    EXPECT_EQ(recorder.got, std::vector<std::string>{"Could not open " + name});
    EXPECT_EQ(recorder.from, &r);
    r.env = nullptr;
    r.obj = nullptr;
}

// ---------------------------------------------------------------------------
// Link files

class LinkFile : public FileTest {
protected:
    io r;
    void SetUp() override
    {
        FileTest::SetUp();
        std::strcpy(r.FilePathFromNodes, dir.c_str());
        std::strcpy(r.basename, "expr");
        r.Ngenes = 10;
    }
    int Read(const std::string& text, std::string* out = nullptr)
    {
        Write("expr.link", text);
        CaptureStdout();
        const int result = r.GetPriors();
        const std::string printed = GetCapturedStdout();
        if (out) *out = printed;
        return result;
    }
    std::vector<std::vector<int>> Table() const
    {
        std::vector<std::vector<int>> t;
        for (int g = 0; g < r.Ngroups; g++)
            t.emplace_back(r.GroupPriors[g], r.GroupPriors[g] + r.Nmembers[g]);
        return t;
    }
};

TEST_F(LinkFile, GroupsInOrderWithNamesSkippedAndNoFinalNewline)
{
    EXPECT_EQ(Read("group priors of expr\n\nmade by hand\n2 3 1   # groups, then counts\n"
                   "4 TP53\n0\tMYC extra words\n4 TP53\n9 BRCA1"),
              1);
    EXPECT_EQ(std::string(r.FileName), dir + "expr.link");
    EXPECT_EQ(Table(), (std::vector<std::vector<int>>{{4, 0, 4}, {9}}));
}

TEST_F(LinkFile, CountsMayWrapAndGroupsMayBeEmpty)
{
    EXPECT_EQ(Read("h\nh\nh\n3 2\n0\n1 rest of the count line\n5\n6\n7\n"), 1);
    EXPECT_EQ(Table(), (std::vector<std::vector<int>>{{5, 6}, {}, {7}}));
    EXPECT_EQ(Read("h\nh\nh\n0\n"), 1);
    EXPECT_EQ(r.Ngroups, 0);
    EXPECT_NE(r.Nmembers, nullptr);
    EXPECT_NE(r.GroupPriors, nullptr);
}

TEST_F(LinkFile, AHeaderLineOf99CharactersUsesUpTwoOfTheThree)
{
    // 98 characters and the newline make one header line; 99 characters fill
    // the line buffer, and the newline after them is the second.
    const std::string tail = "h2\n1 1\n4\n";
    EXPECT_EQ(Read(std::string(99, 'x') + "\n" + tail), 1);
    EXPECT_EQ(Table(), (std::vector<std::vector<int>>{{4}}));
    std::string out;
    EXPECT_EQ(Read(std::string(98, 'x') + "\n" + tail, &out), -1);
    EXPECT_EQ(out, "Could not read link file " + dir +
                       "expr.link: it ends before the member count of group 0\n");
}

TEST_F(LinkFile, AFailedReadKeepsTheTable)
{
    ASSERT_EQ(Read("h\nh\nh\n1 2\n3\n5\n"), 1);
    const int* members = r.Nmembers;
    const std::vector<std::vector<int>> table = Table();
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"h\nh\nh\n-1\n", "Refused: link file %s: the number of groups is negative (-1)"},
        {"h\nh\nh\n2 1 -4\n1\n", "Refused: link file %s: group 1 has a negative member count (-4)"},
        {"h\nh\nh\nNA\n", "Could not read link file %s: line 4: \"NA\" is not a number of groups"},
        {"h\nh\nh\n1 2\n3\nTP53 3\n",
         "Could not read link file %s: line 6: \"TP53\" is not a gene index (member 2 of 2 of group 0)"},
        {"h\nh\nh\n1 2\n3\n4.5\n",
         "Could not read link file %s: line 6: \"4.5\" is not a gene index (member 2 of 2 of group 0)"},
        {"h\nh\nh\n2 1 1\n3\n", "Could not read link file %s: it ends before member 1 of 1 of group 1"},
        {"h\nh\n", "Could not read link file %s: it ends before the number of groups"},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(Read(c.text, &out), -1) << c.text;
        std::string expect = c.message;
        expect.replace(expect.find("%s"), 2, dir + "expr.link");
        EXPECT_EQ(out, expect + "\n");
        EXPECT_EQ(r.Nmembers, members);
        EXPECT_EQ(Table(), table);
    }
    std::remove((dir + "expr.link").c_str());
    CaptureStdout();
    EXPECT_EQ(r.GetPriors(), -1);
    EXPECT_EQ(GetCapturedStdout(), "Could not open link file " + dir + "expr.link!\n");
    EXPECT_EQ(Table(), table);
}

TEST_F(LinkFile, ALentTableIsReplacedButNotFreed)
{
    int counts[] = {1};
    int row[] = {2};
    int* rows[] = {row};
    r.Ngroups = 1;
    r.Nmembers = counts;
    r.GroupPriors = rows;
    ASSERT_EQ(Read("h\nh\nh\n1 1\n7\n"), 1);
    EXPECT_NE(r.Nmembers, counts);
    EXPECT_EQ(Table(), (std::vector<std::vector<int>>{{7}}));
    r.ReleaseFileData();
    EXPECT_EQ(r.Ngroups, 0);
    EXPECT_EQ(r.GroupPriors, nullptr);
    EXPECT_EQ(row[0], 2);
}

// ---------------------------------------------------------------------------
// Information file

class InfoFile : public FileTest {
protected:
    io r;
    void SetUp() override
    {
        FileTest::SetUp();
        std::strcpy(r.FilePathFromNodes, dir.c_str());
        std::strcpy(r.basename, "expr");
    }
};

TEST_F(InfoFile, LayoutAndExponentiatedZScores)
{
    r.Ngenes = 3;
    r.Nsamples = 2;
    // Gene 0 has amplitudes 3 and 1 (z = +-sqrt(1/2)), gene 1 equal ones,
    // gene 2 the reverse of gene 0. Pattern columns (1, 4) and (2, 2).
    double A[] = {3, 1, 5, 5, 1, 3};
    double P[] = {1, 2, 4, 2};
    ASSERT_EQ(r.PrintInf(A, P, 2, 7), 1);
    EXPECT_EQ(std::string(r.FileName), dir + "expr_2_7.inf");
    const std::vector<std::string> lines = Lines(r.FileName);
    ASSERT_EQ(lines.size(), 5u + 2 * (3 + 2));
    EXPECT_EQ(lines[0], "expr");
    EXPECT_EQ(lines[1], "2 3 2");
    EXPECT_TRUE(std::regex_match(lines[2], std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d "
                                                      "\\d\\d:\\d\\d:\\d\\d \\d{4}")))
        << lines[2];
    EXPECT_EQ(lines[3], "1");
    EXPECT_EQ(lines[4], "1.000000e+00");
    const std::string hi = "        2.02811e+00 2.718282", lo = "        4.93069e-01 2.718282",
                      one = "        1.00000e+00 2.718282";
    // Pattern-major: pattern 0 for every gene, then pattern 1; then the
    // samples likewise.
    const std::vector<std::string> values(lines.begin() + 5, lines.end());
    EXPECT_EQ(values, (std::vector<std::string>{hi, one, lo, lo, one, hi, lo, one, hi, one}));
    EXPECT_EQ(Slurp(r.FileName).back(), '\n');
}

TEST_F(InfoFile, ThreePatternsAndFewerThanTwo)
{
    r.Ngenes = 1;
    r.Nsamples = 1;
    double A[] = {1, 2, 3}, P[] = {6, 6, 7};
    ASSERT_EQ(r.PrintInf(A, P, 3, 1), 1);
    std::vector<std::string> lines = Lines(dir + "expr_3_1.inf");
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[5], "        3.67879e-01 2.718282");
    EXPECT_EQ(lines[6], "        1.00000e+00 2.718282");
    EXPECT_EQ(lines[7], "        2.71828e+00 2.718282");
    EXPECT_EQ(lines[8], "        5.61384e-01 2.718282");  // exp(-1/sqrt(3))
    EXPECT_EQ(lines[10], "        3.17307e+00 2.718282");  // exp(2/sqrt(3))

    // One pattern: no spread, so z-scores of 0, whatever the values.
    double A1[] = {42}, P1[] = {1e-300};
    ASSERT_EQ(r.PrintInf(A1, P1, 1, 1), 1);
    lines = Lines(dir + "expr_1_1.inf");
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[5], "        1.00000e+00 2.718282");
    EXPECT_EQ(lines[6], "        1.00000e+00 2.718282");
}

TEST_F(InfoFile, ASecondCallReplacesTheFile)
{
    r.Ngenes = 2;
    r.Nsamples = 1;
    double A[] = {1, 2, 3, 4}, P[] = {1, 2};
    ASSERT_EQ(r.PrintInf(A, P, 2, 1), 1);
    r.Ngenes = 1;
    ASSERT_EQ(r.PrintInf(A, P, 2, 1), 1);
    EXPECT_EQ(Lines(dir + "expr_2_1.inf").size(), 5u + 2 * (1 + 1));
}

TEST_F(InfoFile, UnwritableOrTooLongNames)
{
    r.Ngenes = 1;
    r.Nsamples = 1;
    double A[] = {1, 2}, P[] = {1, 2};
    std::strcpy(r.FilePathFromNodes, (dir + "no/such/dir/").c_str());
    CaptureStdout();
    EXPECT_EQ(r.PrintInf(A, P, 2, 1), -1);
    EXPECT_EQ(GetCapturedStdout(), "Could not open " + dir + "no/such/dir/expr_2_1.inf for writing!\n");

    std::strcpy(r.FilePathFromNodes, std::string(190, 'p').c_str());
    CaptureStdout();
    EXPECT_EQ(r.PrintInf(A, P, 2, 1), -1);
    EXPECT_EQ(GetCapturedStdout().rfind("Refused: the information file name of prefix ", 0), 0u);
    EXPECT_STREQ(r.FileName, "");
}

}  // namespace
