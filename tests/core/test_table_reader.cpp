// The command's readers on real files: layouts, faults located by
// file:line:column, gzip, control files.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <random>

#include "file_fixture.h"
#include "zarno/run_dir.h"
#include "zarno/table_reader.h"

using zarno::AppendDouble;
using zarno::InputError;
using zarno::ReadControlFile;
using zarno::ReadOptions;
using zarno::ReadTable;
using zarno::Table;

namespace {

class Reader : public FileTest {
protected:
    std::string Gzip(const std::string& name, const std::string& text)
    {
        const std::string path = dir + name;
        gzFile gz = gzopen(path.c_str(), "wb");
        gzwrite(gz, text.data(), static_cast<unsigned>(text.size()));
        gzclose(gz);
        return path;
    }
    // The message of the InputError that reading `path` throws.
    static std::string Fault(const std::string& path, const ReadOptions& o = {})
    {
        try {
            ReadTable(path, o);
        } catch (const InputError& e) {
            return e.what();
        }
        return "(no error)";
    }
};

void ExpectSame(const Table& a, const Table& b)
{
    EXPECT_EQ(a.genes, b.genes);
    EXPECT_EQ(a.samples, b.samples);
    EXPECT_EQ(a.geneNames, b.geneNames);
    EXPECT_EQ(a.sampleLabels, b.sampleLabels);
    ASSERT_EQ(a.values.size(), b.values.size());
    EXPECT_EQ(0, std::memcmp(a.values.data(), b.values.data(), a.values.size() * sizeof(double)));
}

TEST_F(Reader, EveryLayoutReadsTheSameTable)
{
    const Table tab = ReadTable(Write("a.txt", "gene\tS1\tS2\tS3\ng1\t1\t2.5\t0\ng2\t1e-3\t+4\t5\n"));
    EXPECT_EQ(tab.corner, "gene");
    EXPECT_EQ(tab.lines, (std::vector<int>{2, 3}));
    EXPECT_EQ(tab.values, (std::vector<double>{1, 2.5, 0, 1e-3, 4, 5}));
    // No corner label, spaces, blank lines, CRLF, a byte order mark, trailing blanks.
    const Table spaces =
        ReadTable(Write("b.txt", "\xEF\xBB\xBFS1  S2 S3\r\n\r\n g1 1 2.5 0  \r\ng2 1e-3 +4 5\r\n"));
    ExpectSame(tab, spaces);
    EXPECT_EQ(spaces.corner, "");
    EXPECT_EQ(spaces.lines, (std::vector<int>{3, 4}));
    const Table csv =
        ReadTable(Write("c.csv", "\"gene\",\"S1\", S2 ,\"S3\"\ng1,1,\"2.5\",0\n\"g2\",1e-3,+4,5"));
    ExpectSame(tab, csv);
    // Labels with spaces survive in a tab-separated file.
    const Table labelled = ReadTable(Write("d.txt", "gene\tS 1\tS2\ng 1\t1\t2\n"));
    EXPECT_EQ(labelled.sampleLabels, (std::vector<std::string>{"S 1", "S2"}));
    EXPECT_EQ(labelled.geneNames, (std::vector<std::string>{"g 1"}));
}

TEST_F(Reader, GzipIsReadByItsContentsAndChecksummedAsText)
{
    const std::string text = "gene\tS1\tS2\ng1\t1\t2\ng2\t3\t4\n";
    const Table plain = ReadTable(Write("x.txt", text));
    const Table gz = ReadTable(Gzip("x.txt.gz", text));
    ExpectSame(plain, gz);
    EXPECT_EQ(plain.sha256, gz.sha256);
    const Table csv = ReadTable(Gzip("y.csv.gz", "gene,S1,S2\ng1,1,2\ng2,3,4\n"));
    ExpectSame(plain, csv);
    EXPECT_NE(plain.sha256, csv.sha256);
    // A truncated stream is refused, not read short.
    std::string bytes = Slurp(dir + "x.txt.gz");
    Write("t.txt.gz", bytes.substr(0, bytes.size() - 10));
    EXPECT_NE(Fault(dir + "t.txt.gz").find("t.txt.gz: gzip data are truncated"), std::string::npos)
        << Fault(dir + "t.txt.gz");
}

TEST_F(Reader, Sha256IsLibcryptosDigest)
{
    // The FIPS 180-2 example.
    EXPECT_EQ(zarno::Sha256Hex("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST_F(Reader, FaultsNameFileLineAndColumn)
{
    const std::string head = "gene\tS1\tS2\n";
    const struct {
        const char* text;
        const char* where;  // line:column
        const char* what;
    } cases[] = {
        {"", "1:1", "the file is empty"},
        {"\n  \n", "1:1", "the file is empty"},
        {"gene\tS1\tS2\n\n", "1:11", "followed by no gene rows"},
        {"gene\tS1\tS2\ng1\t1\n", "2:5", "holds 1 values, expected 2"},
        {"gene\tS1\tS2\ng1\t1\t2\ng2\t1\n", "3:5", "holds 1 values, expected 2"},
        {"gene\tS1\tS2\ng1\t1\t2\ng2\t1\t2\t3\n", "3:8", "holds 3 values, expected 2"},
        {"gene\tS1\tS2\ng1\tNA\t2\n", "2:4", "\"NA\" is not a number (gene \"g1\", sample \"S1\")"},
        {"gene\tS1\tS2\ng1\t1\t1,5\n", "2:6", "\"1,5\" is not a number (gene \"g1\", sample \"S2\")"},
        {"gene\tS1\tS2\ng1\t\t2\n", "2:4", "an empty field"},
        {"gene\tS1\tS2\ng1\t1\tinf\n", "2:6", "\"inf\" is not a finite number"},
        {"gene\tS1\tS2\ng1\tnan\t1\n", "2:4", "\"nan\" is not a finite number"},
        {"gene\tS1\tS2\ng1\t1e999\t1\n", "2:4", "beyond the range of a double"},
        {"gene\tS1\tS2\ng1\t0x10\t1\n", "2:4", "\"0x10\" is not a number"},
        {"gene\tS1\tS2\ng1\t1 2\t1\n", "2:4", "\"1 2\" is not a number"},
        {"a\tb\tc\tS1\tS2\ng1\t1\t2\n", "2:7", "holds 2 values, expected 4"},
        {"S1\tS2\ng1\t1\t2\t3\n", "2:8", "the header (line 1) has 2 labels"},
        {"S1 S2\n\ng1 1 2\ng2 1 x\n", "4:6", "\"x\" is not a number"},
    };
    (void)head;
    int n = 0;
    for (const auto& c : cases) {
        const std::string path = Write("f" + std::to_string(n++) + ".txt", c.text);
        const std::string msg = Fault(path);
        EXPECT_EQ(msg.rfind(path + ":" + c.where + ": ", 0), 0u) << c.text << " -> " << msg;
        EXPECT_NE(msg.find(c.what), std::string::npos) << c.text << " -> " << msg;
    }
    const std::string csv = Write("q.csv", "gene,S1\ng1,\"1\n");
    EXPECT_EQ(Fault(csv).rfind(csv + ":2:4: a quote that is not closed", 0), 0u) << Fault(csv);
    const std::string missing = dir + "none.txt";
    EXPECT_EQ(Fault(missing), missing + ": cannot open: No such file or directory");
    EXPECT_EQ(Fault(dir.substr(0, dir.size() - 1)).find("is a directory"),
              dir.size() - 1 + std::strlen(": "));
}

TEST_F(Reader, UncertaintiesMustBePositiveAndNegativeDataAreCounted)
{
    const ReadOptions unc{true, "uncertainty"};
    const std::string zero = Write("z.unc", "gene\tS1\tS2\ng1\t1\t2\ng2\t0.5\t0\n");
    EXPECT_EQ(Fault(zero, unc).rfind(zero + ":3:8: uncertainty 0 is not positive", 0), 0u)
        << Fault(zero, unc);
    const std::string neg = Write("n.unc", "gene\tS1\tS2\ng1\t-1\t2\n");
    EXPECT_EQ(Fault(neg, unc).rfind(neg + ":2:4: uncertainty -1 is not positive", 0), 0u);

    const Table t = ReadTable(Write("d.txt", "gene\tS1\tS2\ng1\t1\t2\ng2\t3\t-0.5\ng3\t-2\t1\n"));
    EXPECT_EQ(t.negatives, 2);
    EXPECT_EQ(t.negativeLine, 3);
    EXPECT_EQ(t.negativeColumn, 6);
    EXPECT_EQ(t.negativeGene, 1);
    EXPECT_EQ(t.negativeSample, 1);
    EXPECT_EQ(t.values[3], -0.5);  // read as it is
}

TEST_F(Reader, MissingValuesAreNaNWhenAllowedAndRefusedOtherwise)
{
    ReadOptions allow;
    allow.allowMissing = true;
    const std::vector<bool> missing = {false, true, true, false, true, true, true, false, true};
    auto check = [&](const std::string& path) {
        const Table t = ReadTable(path, allow);
        EXPECT_EQ(t.values.size(), missing.size()) << path;
        for (size_t e = 0; e < missing.size() && e < t.values.size(); e++)
            EXPECT_EQ(std::isnan(t.values[e]), missing[e]) << path << " cell " << e;
        EXPECT_EQ(t.values.at(0), 1.0);
        EXPECT_EQ(t.values.at(7), 8.0);
        EXPECT_EQ(t.missing, 6) << path;
        EXPECT_EQ(t.missingLine, 2) << path;
        return t;
    };
    // Tabs and commas have empty fields; any case of NA and NaN, NaN signed.
    const std::string tabs = Write("m.txt", "gene\tS1\tS2\tS3\ng1\t1\tNA\t\ng2\t4\tnan\tNaN\ng3\t-NAN\t8\tna\n");
    EXPECT_EQ(check(tabs).missingColumn, 6);
    const std::string csv = Write("m.csv", "gene,S1,S2,S3\ng1,1,na,\"\"\ng2,4,NaN, \ng3,+nan,8,NA\n");
    EXPECT_EQ(check(csv).missingColumn, 6);
    check(Write("m.sp", "gene S1 S2 S3\ng1 1 NA Nan\ng2 4 na nAn\ng3 nan 8 NA\n"));
    // Without the option each is a fault, as before; N/A and "-" are never missing.
    EXPECT_NE(Fault(tabs).find(":2:6: \"NA\" is not a number"), std::string::npos) << Fault(tabs);
    EXPECT_NE(Fault(Write("na.txt", "gene\tS1\ng1\tN/A\n"), allow).find("\"N/A\" is not a number"),
              std::string::npos);
    EXPECT_NE(Fault(Write("dash.txt", "gene\tS1\ng1\t-\n"), allow).find("\"-\" is not a number"),
              std::string::npos);
    // A missing uncertainty is no fault of positivity; a zero still is.
    const ReadOptions unc{true, "uncertainty", true};
    EXPECT_EQ(ReadTable(Write("m.unc", "gene\tS1\tS2\ng1\tNA\t2\n"), unc).missing, 1);
    EXPECT_NE(Fault(Write("z.unc", "gene\tS1\tS2\ng1\tNA\t0\n"), unc).find("is not positive"),
              std::string::npos);
}

TEST_F(Reader, SampleLabelsMustBeUniqueAndRepeatedGeneNamesAreCounted)
{
    const std::string dup = Write("d.txt", "gene\tA\tB\tC\tB\ng1\t1\t2\t3\t4\n");
    EXPECT_EQ(Fault(dup), dup + ":1:12: sample label \"B\" is given twice, in header fields 3 and 5 "
                                "(columns 8 and 12): sample labels must be unique");
    const std::string csv = Write("d.csv", "A,B,A\ng1,1,2,3\n");
    EXPECT_NE(Fault(csv).find(":1:5: sample label \"A\" is given twice, in header fields 1 and 3"),
              std::string::npos)
        << Fault(csv);

    const Table t = ReadTable(Write("g.txt", "gene\tA\ng1\t1\ng2\t2\ng1\t3\ng2\t4\ng1\t5\ng3\t6\n"));
    EXPECT_EQ(t.duplicateGenes, 3);
    EXPECT_EQ(t.duplicateGene, 2);  // the first row that repeats one before it
    EXPECT_EQ(t.duplicateOf, 0);
    EXPECT_EQ(ReadTable(Write("u.txt", "gene\tA\ng1\t1\ng2\t2\n")).duplicateGenes, 0);
}

TEST_F(Reader, ShortestNumbersReadBackToTheSameBits)
{
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<std::uint64_t> bits;
    std::vector<double> want;
    std::string text = "gene";
    const int S = 50, G = 40;
    for (int j = 0; j < S; j++) text += "\tS" + std::to_string(j);
    text += '\n';
    for (int i = 0; i < G; i++) {
        text += "g" + std::to_string(i);
        for (int j = 0; j < S; j++) {
            double v;
            do {
                const std::uint64_t b = bits(rng);
                std::memcpy(&v, &b, sizeof v);
            } while (!std::isfinite(v));
            if (j == 0) v = 4.9406564584124654e-324;  // the smallest subnormal
            if (j == 1) v = 1.7976931348623157e308;
            want.push_back(v);
            text += '\t';
            AppendDouble(text, v);
        }
        text += '\n';
    }
    const Table t = ReadTable(Write("r.txt", text));
    ASSERT_EQ(t.values.size(), want.size());
    EXPECT_EQ(0, std::memcmp(t.values.data(), want.data(), want.size() * sizeof(double)));
}

TEST_F(Reader, ControlFilesGiveSettingsAndNameTheirData)
{
    const std::string ctr = Write("expr.ctr", "300 20 1   # genes samples flag\n\n2 5 3 2000\n");
    Write("expr.txt", "x");
    Gzip("expr.unc.gz", "x");
    const zarno::ControlFile c = ReadControlFile(ctr);
    EXPECT_EQ(c.genes, 300);
    EXPECT_EQ(c.samples, 20);
    EXPECT_EQ(c.uncertFlag, 1);
    EXPECT_EQ(c.firstRank, 2);
    EXPECT_EQ(c.lastRank, 5);
    EXPECT_EQ(c.chains, 3);
    EXPECT_EQ(c.rounds, 2000);
    EXPECT_EQ(c.dataPath, dir + "expr.txt");
    EXPECT_EQ(c.uncertPath, dir + "expr.unc.gz");  // only the compressed one is there

    auto fault = [](const std::string& path) -> std::string {
        try {
            ReadControlFile(path);
        } catch (const InputError& e) {
            return e.what();
        }
        return "(no error)";
    };
    const std::string bad = Write("bad.ctr", "300 x20 1\n2 5 3 2000\n");
    EXPECT_EQ(fault(bad).rfind(bad + ":1:5: \"x20\" is not a whole number", 0), 0u) << fault(bad);
    const std::string shortLine = Write("short.ctr", "300 20 1\n2 5 3\n");
    EXPECT_EQ(fault(shortLine).rfind(shortLine + ":2:6: line 2 needs 4 numbers", 0), 0u)
        << fault(shortLine);
    const std::string oneLine = Write("one.ctr", "300 20 1\n");
    EXPECT_EQ(fault(oneLine).rfind(oneLine + ":2:1: line 2 is missing", 0), 0u) << fault(oneLine);
}

TEST_F(Reader, DataShapeFromEveryLayout)
{
    const std::string tabs = "gene\ts1\ts2\ts3\ng1\t1\t2\t3\ng2\t4\t5\t6\n";
    Write("a.txt", tabs);
    Write("b.txt", "  gene  s1 s2   s3\r\n\r\ng1 1  2 3\r\ng2\t4 5 6  \r\n\n\n");
    Write("c.csv", "gene,s1,s2,s3\ng1,1,2,3\ng2,4,5,6");
    Gzip("d.txt.gz", tabs);
    for (const char* name : {"a.txt", "b.txt", "c.csv", "d.txt.gz"}) {
        const zarno::TableShape s = zarno::ReadTableShape(dir + name);
        EXPECT_EQ(s.genes, 2) << name;
        EXPECT_EQ(s.samples, 3) << name;
    }
    Write("header.txt", "gene\ts1\ts2\n\n");
    EXPECT_THROW(zarno::ReadTableShape(dir + "header.txt"), std::runtime_error);
    EXPECT_THROW(zarno::ReadTableShape(dir + "missing.txt"), std::runtime_error);
}

TEST_F(Reader, TheShapeIsTheTablesWithoutReadingItsValues)
{
    // Rows across the reads' buffers, a byte order mark, blank lines, with and
    // without a corner label, compressed or not: the table's own size.
    std::string text = "\xEF\xBB\xBF\n  \n";
    for (int j = 0; j < 300; j++) text += (j ? "\tS" : "S") + std::to_string(j);
    text += "\n";
    for (int i = 0; i < 700; i++) {
        text += "g" + std::to_string(i);
        for (int j = 0; j < 300; j++) text += "\t1.25";
        text += i % 7 == 0 ? "\r\n\n \t\n" : "\n";
    }
    const std::string cornered = "gene\t" + text.substr(text.find('S'));
    for (const std::string& path : {Write("big.txt", text), Gzip("big.txt.gz", text),
                                    Write("corner.txt", cornered), Gzip("corner.gz", cornered)}) {
        const Table t = ReadTable(path);
        const zarno::TableShape shape = zarno::ReadTableShape(path);
        EXPECT_EQ(shape.genes, t.genes) << path;
        EXPECT_EQ(shape.samples, t.samples) << path;
        EXPECT_EQ(t.samples, 300);
    }

    // A file that holds no table is refused in ReadTable's own words.
    auto shapeFault = [](const std::string& path) -> std::string {
        try {
            zarno::ReadTableShape(path);
        } catch (const InputError& e) {
            return e.what();
        }
        return "(no error)";
    };
    int n = 0;
    for (const char* bad : {"", "\n \n", "gene\tS1\tS2\n\n", "gene\tS1\ng1\n",
                            "S1\tS2\ng1\t1\t2\t3\n", "gene,\"S1\n"}) {
        const std::string path = Write("bad" + std::to_string(n++) + ".txt", bad);
        EXPECT_EQ(shapeFault(path), Fault(path)) << bad;
        EXPECT_NE(shapeFault(path), "(no error)") << bad;
    }
    EXPECT_EQ(shapeFault(dir + "none.txt"), Fault(dir + "none.txt"));
    const std::string folder = dir.substr(0, dir.size() - 1);
    EXPECT_EQ(shapeFault(folder), Fault(folder));
}

}  // namespace
