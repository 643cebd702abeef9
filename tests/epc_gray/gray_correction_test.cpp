// Grayscale and FLIM correction with known tables, the table computation from averaged frames,
// and the correction files: names per chip, round trips, and missing or hostile files.
#include <tarvo/epc_gray.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "epc/gray_correction.h"
#include "epc_gray/corrections_off.h"
#include "epc/pipeline_fixture.h"
#include "support/log_capture.h"
#include "support/printed.h"
#include "support/temp_dir.h"

namespace tarvo::test {
namespace {

constexpr int kCols = 320;
constexpr int kRows = 240;
constexpr int kPixels = kCols * kRows;

class GrayCorrectionTest : public PipelineTest {
  protected:
    void SetUp() override {
        PipelineTest::SetUp();
        log_.emplace();
        dir_.enter();
        configSetWaferID(1);
        configSetChipID(1);
        switch_gray_corrections_off();
        epc::reset_flim_tables(0);
        epc::reset_flim_tables(1);
    }
    void TearDown() override {
        log_.reset();
        PipelineTest::TearDown();
    }

    // A gray frame of the camera's 2D mode whose values depend on the column only, so that the
    // read-out order does not matter.
    static std::vector<uint16_t> column_frame(int (*value)(int col)) {
        std::vector<uint16_t> frame(kPixels);
        for (int i = 0; i < kPixels; ++i)
            frame[i] = static_cast<uint16_t>(value(i % kCols));
        return frame;
    }

    static void write(const std::string &path, const std::string &text) {
        std::ofstream(path, std::ios::binary) << text;
    }

    static std::string rows_of(const std::string &value, int rows, int per_row = kCols) {
        std::string line;
        for (int i = 0; i < per_row; ++i)
            line += " " + value;
        std::string text;
        for (int r = 0; r < rows; ++r)
            text += line + "\n";
        return text;
    }

    std::optional<LogCapture> log_;
    TempDir dir_;
};

// One pixel through an offset and gain correction: the switches, the pixel's table entries, and
// the value in and out.
struct CorrectionCase {
    const char *name;
    bool offset_on;
    bool gain_on;
    double offset;
    double gain;
    uint16_t in;
    uint16_t out;
};

const char kTableFile[] = "grayscale660_gain_offset_W001_C001.txt";

TEST_F(GrayCorrectionTest, GrayscaleValues) {
    // Pixel (3, 7) of the full region reads table entry 3 x 320 + 7.
    constexpr int kRow = 3;
    constexpr int kCol = 7;
    constexpr int kEntry = kRow * kCols + kCol;
    const CorrectionCase cases[] = {
        {"offset", true, false, 10.0, 1.0, 1000, 990},
        {"offset leaves codes", true, false, 10.0, 1.0, 65400, 65400},
        {"gain", false, true, 0.0, 2.0, 2148, 2248},
        {"gain keeps mid-scale", false, true, 0.0, 2.0, 2048, 2048},
        {"offset, then gain", true, true, 10.0, 2.0, 1058, 48},
        {"halves away from zero", true, false, 0.5, 1.0, 1000, 1000},
        {"halves away from zero, up", true, false, -0.5, 1.0, 1000, 1001},
        {"both leave codes", true, true, 10.0, 2.0, 65500, 65500},
        {"switches off", false, false, 10.0, 2.0, 1000, 1000},
        // Results stay within the values: none wraps into the codes.
        {"below zero held at 0", true, false, 10.0, 1.0, 5, 0},
        {"overlarge held at 65299", false, true, 0.0, 100.0, 4000, 65299},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint16_t> image(kPixels, 1234);
        image[kEntry] = c.in;
        grayscaleOffset[kEntry] = c.offset;
        grayscaleGain[kEntry] = c.gain;
        setCorrectGrayscaleOffset(c.offset_on);
        setCorrectGrayscaleGain(c.gain_on);
        ASSERT_EQ(calculateGrayscaleCorrection(image.data()), 0);
        EXPECT_EQ(image[kEntry], c.out);
        EXPECT_EQ(image[kEntry + 1], 1234);  // neutral tables elsewhere
    }
    EXPECT_EQ(calculateGrayscaleCorrection(nullptr), -1);
}

TEST_F(GrayCorrectionTest, RegionStartsAtItsTableEntry) {
    // Region from column 8, row 10: its first pixel is calibration pixel (4, 4).
    readOutSetROI(8, 323, 10, 125, 0x20);
    pruSetSize(316, 116);
    std::vector<uint16_t> image(316 * 232, 1000);
    grayscaleOffset[4 * kCols + 4] = 100;
    grayscaleOffset[5 * kCols + 4] = 200;  // the next row, one calibration width on
    setCorrectGrayscaleOffset(1);
    ASSERT_EQ(calculateGrayscaleCorrection(image.data()), 0);
    EXPECT_EQ(image[0], 900);
    EXPECT_EQ(image[316], 800);
    EXPECT_EQ(image[1], 1000);
}

TEST_F(GrayCorrectionTest, FlimValuesPerGate) {
    constexpr int kEntry = 2 * kCols + 5;
    const CorrectionCase cases[] = {
        {"offset", true, false, 10.0, 1.0, 1000, 990},
        {"offset truncates", true, false, 0.7, 1.0, 1000, 999},
        {"gain, no mid-scale", false, true, 0.0, 1.5, 1001, 1502},
        {"offset, then gain", true, true, 100.0, 2.0, 600, 1000},
        // In this library the gate images keep their codes too.
        {"offset leaves codes", true, false, 10.0, 1.0, 65400, 65400},
        {"gain leaves codes", false, true, 0.0, 1.5, 65400, 65400},
        {"below zero held at 0", true, false, 10.0, 1.0, 5, 0},
    };
    for (const auto &c : cases) {
        for (int gate = 0; gate < 2; ++gate) {
            SCOPED_TRACE(testing::Message() << c.name << ", gate " << gate);
            epc::reset_flim_tables(0);
            epc::reset_flim_tables(1);
            std::vector<uint16_t> image(2 * kPixels, 1234);
            uint16_t &v = image[gate * kPixels + kEntry];
            v = c.in;
            flimOffset[gate][kEntry] = c.offset;
            flimGain[gate][kEntry] = c.gain;
            calculationCorrectFlimOffset(c.offset_on);
            calculationCorrectFlimGain(c.gain_on);
            ASSERT_EQ(calculationFlimCorrection(image.data(), 2 * kPixels), 0);
            EXPECT_EQ(v, c.out);
            EXPECT_EQ(image[(1 - gate) * kPixels + kEntry], 1234);  // the other gate
        }
    }
    EXPECT_EQ(calculationFlimCorrection(nullptr, 2 * kPixels), -1);
}

TEST_F(GrayCorrectionTest, SortedRoutePicksTheCorrection) {
    pruSetDCS(1);
    currentMode = 0;
    sensor_.frame.assign(kPixels, 1000);
    grayscaleOffset[0] = 10;
    uint16_t *out = nullptr;
    ASSERT_EQ(calculationBWSorted(&out), kPixels);
    EXPECT_EQ(out[0], 1000);
    EXPECT_EQ(apiCorrectGrayscaleOffset(1), 0);
    ASSERT_EQ(calculationBWSorted(&out), kPixels);
    EXPECT_EQ(out[0], 990);
    ASSERT_EQ(calculationDCSSorted(&out), kPixels);
    EXPECT_EQ(out[0], 990);
    EXPECT_EQ(apiCorrectGrayscaleOffset(0), 0);
    // Two-sample mode with FLIM tables available: the FLIM correction instead.
    currentMode = 2;
    pruSetDCS(2);
    sensor_.frame.assign(2 * kPixels, 2048 + 500);
    flimOffset[0][0] = 100;
    EXPECT_EQ(apiCorrectFlimOffset(1), 0);
    calculateSetFlimCorrectionAvailable(1);
    ASSERT_EQ(calculationBWSorted(&out), 2 * kPixels);
    EXPECT_EQ(out[0], 400);
}

TEST_F(GrayCorrectionTest, GainOfOnePerPixelOfEqualBrightAndDark) {
    // Dark frames 2000 + col % 50; the bright image adds 100, except column 0 (nothing) and
    // column 1 (420): the mean response is (420 + 318 x 100) / 320 = 100.6875 counts.
    auto dark = [](int col) { return 2000 + col % 50; };
    std::vector<int> bright(kPixels);
    for (int i = 0; i < kPixels; ++i) {
        const int col = i % kCols;
        bright[i] = dark(col) + (col == 0 ? 0 : col == 1 ? 420 : 100);
    }
    ASSERT_EQ(calculateSaveGrayscaleImage(bright.data()), 0);
    sensor_.frame = column_frame(dark);
    ASSERT_EQ(apiCalibrateGrayscale(0), 0);
    EXPECT_TRUE(log_->contains(
        "[calculationCalibrateGrayscale] save dark averaged 100 images and calculate offset and "
        "gain"));
    EXPECT_TRUE(log_->contains("[calculationGrayscaleGainOffset] avr = 100.687500"));
    EXPECT_EQ(sensor_.captures, 100);
    for (int row : {0, 119, 239}) {
        SCOPED_TRACE(row);
        const int i = row * kCols;
        EXPECT_EQ(grayscaleGain[i], 1.0);
        EXPECT_DOUBLE_EQ(grayscaleGain[i + 1], 100.6875 / 420);
        EXPECT_DOUBLE_EQ(grayscaleGain[i + 2], 1.006875);
        EXPECT_EQ(grayscaleOffset[i], -48);
        EXPECT_EQ(grayscaleOffset[i + 49], 1);
    }
    // The file holds gains, then offsets, one line per row of " %.4e" values.
    std::ifstream in(kTableFile);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line.substr(0, 33), " 1.0000e+00 2.3973e-01 1.0069e+00");
    EXPECT_EQ(line.size(), 320u * 11);
    for (int i = 1; i < kRows && std::getline(in, line); ++i) {
    }
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line.substr(0, 24), " -4.8000e+01 -4.7000e+01");

    // Read back as the start-up reads it.
    epc::reset_grayscale_tables();
    ASSERT_EQ(calculateLoadGrayscaleGainOffset(), 0);
    EXPECT_EQ(grayscaleGain[1], 0.23973);
    EXPECT_EQ(grayscaleOffset[kPixels - 1], 2000 + 319 % 50 - 2048);
    EXPECT_FALSE(log_->contains("error gain"));
}

TEST_F(GrayCorrectionTest, BrightStepStoresTheAveragedImage) {
    sensor_.frame = column_frame([](int col) { return 3000 + col; });
    ASSERT_EQ(calculationCalibrateGrayscale(1), 0);
    EXPECT_TRUE(log_->contains("[calculationCalibrateGrayscale] save bright averaged 100 images"));
    std::vector<int> image(kPixels);
    ASSERT_EQ(calculateLoadGrayscaleImage(image.data()), 0);
    EXPECT_EQ(image[0], 3000);
    EXPECT_EQ(image[kPixels - 1], 3319);
    std::ifstream in("grayscale_temp_image.txt");
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line.substr(0, 15), " 3000 3001 3002");
    // The 2D mode was asked of the camera.
    ASSERT_FALSE(sensor_.params_set.empty());
    EXPECT_EQ(sensor_.params_set.back().param_id, 10);
    EXPECT_EQ(sensor_.params_set.back().param_val[0], 0);
    EXPECT_EQ(pruGetNDCS(), 1);
}

TEST_F(GrayCorrectionTest, MeanLeavesOutFramesThatDidNotArrive) {
    sensor_.frame = column_frame([](int) { return 1500; });
    std::vector<int> out(kPixels, -7);
    sensor_.frame_ok = false;
    EXPECT_EQ(calculationGrayscaleMean(4, out.data()), -1);
    EXPECT_EQ(out[0], -7);
    EXPECT_TRUE(log_->contains("no frame to average", "ERR"));
    sensor_.frame_ok = true;
    EXPECT_EQ(calculationGrayscaleMean(0, out.data()), -1);
    EXPECT_EQ(calculationGrayscaleMean(3, nullptr), -1);
    EXPECT_EQ(calculationGrayscaleMean(3, out.data()), 0);
    EXPECT_EQ(out[0], 1500);
    EXPECT_EQ(calculationFlimMean(3, out.data(), 2), 0);
}

TEST_F(GrayCorrectionTest, FileNamesFollowPartAndChip) {
    configSetWaferID(7);
    configSetChipID(12);
    const struct {
        int part_type;
        const char *gray;
        const char *mga;
        const char *mgb;
    } cases[] = {
        {2, "grayscale660_gain_offset_W007_C012.txt", "epc502_mga_gain_offset_W007_C012.txt",
         "epc502_mgb_gain_offset_W007_C012.txt"},
        {4, "grayscale635_gain_offset_W007_C012.txt", "epc503_mga_gain_offset_W007_C012.txt",
         "epc503_mgb_gain_offset_W007_C012.txt"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.part_type);
        configSetPartType(c.part_type);
        ASSERT_EQ(calculateSaveGrayscaleGainOffset(), 0);
        ASSERT_EQ(calculateSaveFlimGainOffset(0), 0);
        ASSERT_EQ(calculateSaveFlimGainOffset(1), 0);
        EXPECT_TRUE(std::filesystem::exists(dir_.path() / c.gray));
        EXPECT_TRUE(std::filesystem::exists(dir_.path() / c.mga));
        EXPECT_TRUE(std::filesystem::exists(dir_.path() / c.mgb));
        EXPECT_EQ(calculateLoadGrayscaleGainOffset(), 0);
        EXPECT_TRUE(log_->contains(std::string("[calculateLoadGrayscaleGainOffset] ./") + c.gray));
    }
    EXPECT_EQ(calculateSaveFlimGainOffset(2), -1);
    EXPECT_EQ(calculateLoadFlimGainOffset(-1), -1);
}

TEST_F(GrayCorrectionTest, MissingFileLeavesNeutralTables) {
    grayscaleGain[5] = 3.0;
    grayscaleOffset[5] = 40.0;
    EXPECT_EQ(calculateLoadGrayscaleGainOffset(), -1);
    EXPECT_TRUE(
        log_->contains("[calculateLoadGrayscaleGainOffset] Could not open "
                       "./grayscale660_gain_offset_W001_C001.txt file."));
    // Gains of 1.0 and offsets of 0: the switches then change nothing.
    setCorrectGrayscaleOffset(1);
    setCorrectGrayscaleGain(1);
    std::vector<uint16_t> image(kPixels, 3333);
    calculateGrayscaleCorrection(image.data());
    EXPECT_EQ(image[5], 3333);
    EXPECT_EQ(image[kPixels - 1], 3333);

    std::vector<int> img(kPixels);
    EXPECT_EQ(calculateLoadGrayscaleImage(img.data()), -1);
    EXPECT_EQ(calculateLoadFlimImage(img.data()), -1);
    EXPECT_EQ(calculateLoadFlimGainOffset(0), -1);
    EXPECT_EQ(apiIsFlimCorrectionAvailable(), 0);
    EXPECT_TRUE(log_->contains(
        "[calculateLoadFlimGainOffset] Could not open ./epc502_mga_gain_offset_W001_C001.txt "
        "file."));
}

TEST_F(GrayCorrectionTest, HostileTableFilesAreBounded) {
    const std::string gains = rows_of("2.0", kRows);
    const std::string offsets = rows_of("5", kRows);
    const struct {
        const char *name;
        std::string text;
        double gain0;      // table entry 0 after loading
        double gain_last;  // entry of the last pixel
        double offset_last;
        const char *logged;
    } cases[] = {
        {"three lines", rows_of("2.0", 3), 2.0, 1.0, 0.0,
         "[calculateLoadGrayscaleGainOffset] error offset: 240"},
        {"overlong first line", std::string(20000, '7') + "\n" + gains + offsets, 2.0, 1.0, 5.0,
         "longer than 16384 characters ignored"},
        {"too many values per line", rows_of("2.0", kRows, 400) + offsets, 2.0, 2.0, 5.0,
         "80 values beyond the 320 of a row ignored"},
        {"tokens that do not convert", " abc nan 1e999 0x" + gains.substr(16) + offsets, 1.0, 2.0,
         5.0, "\"abc\" is not a number"},
        {"binary", std::string("\0\xff\x01 9\n\n\0", 8) + std::string(70000, '\n'), 1.0, 1.0, 0.0,
         "is not a number"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        log_->clear();
        write(kTableFile, c.text);
        EXPECT_EQ(calculateLoadGrayscaleGainOffset(), 0);
        EXPECT_EQ(grayscaleGain[0], c.gain0);
        EXPECT_EQ(grayscaleGain[kPixels - 1], c.gain_last);
        EXPECT_EQ(grayscaleOffset[kPixels - 1], c.offset_last);
        // Nothing lands beyond the image's pixels.
        EXPECT_EQ(grayscaleGain[kPixels], 1.0);
        EXPECT_EQ(grayscaleOffset[kPixels], 0.0);
        EXPECT_TRUE(log_->contains(c.logged)) << log_->text();
    }
}

TEST_F(GrayCorrectionTest, ShortImageFileFails) {
    std::vector<int> image(kPixels, 9);
    write("grayscale_temp_image.txt", " 1 2 3\n 4 x 6\n");
    EXPECT_EQ(calculateLoadGrayscaleImage(image.data()), -1);
    EXPECT_EQ(image[0], 1);
    EXPECT_EQ(image[4], 9);  // "x" did not convert; the pixel keeps its value
    EXPECT_EQ(image[5], 6);
    // Without a complete bright image the dark step computes and writes nothing.
    EXPECT_EQ(calculationCalibrateGrayscale(0), -1);
    EXPECT_FALSE(std::filesystem::exists(kTableFile));
    EXPECT_EQ(sensor_.captures, 0);
}

TEST_F(GrayCorrectionTest, FailedWriteKeepsTheOldFile) {
    // A directory holds the name: it is not replaced and nothing is left beside it.
    std::filesystem::create_directory(kTableFile);
    std::filesystem::create_directory(std::string(kTableFile) + "/x");
    EXPECT_EQ(calculateSaveGrayscaleGainOffset(), -1);
    EXPECT_TRUE(
        log_->contains("[calculateSaveGrayscaleGainOffset] Could not open "
                       "./grayscale660_gain_offset_W001_C001.txt"));
    EXPECT_TRUE(std::filesystem::is_directory(std::string(kTableFile) + "/x"));
    // A link planted where a writer might put its temporary file is never followed.
    { std::ofstream("victim") << "victim\n"; }
    std::filesystem::create_symlink("victim", "flim_temp_image.txt.tmp");
    std::vector<int> image(kPixels, 1);
    EXPECT_EQ(calculateSaveFlimImage(image.data()), 0);
    EXPECT_EQ(read_file("victim"), "victim\n");
    EXPECT_TRUE(std::filesystem::is_symlink("flim_temp_image.txt.tmp"));
    EXPECT_TRUE(std::filesystem::is_regular_file("flim_temp_image.txt"));
    for (const auto &entry : std::filesystem::directory_iterator("."))
        EXPECT_NE(entry.path().extension(), ".part") << entry.path();
}

TEST_F(GrayCorrectionTest, FlimTablesRoundTripAndSetTheFlag) {
    flimGain[1][3] = 1.25;
    flimOffset[1][3] = 17.0;
    ASSERT_EQ(calculateSaveFlimGainOffset(1), 0);
    epc::reset_flim_tables(1);
    EXPECT_EQ(calculateIsFlimCorrectionAvailable(), 0);
    ASSERT_EQ(calculateLoadFlimGainOffset(1), 0);
    EXPECT_EQ(flimGain[1][3], 1.25);
    EXPECT_EQ(flimOffset[1][3], 17.0);
    EXPECT_EQ(apiIsFlimCorrectionAvailable(), 1);
}

TEST_F(GrayCorrectionTest, FacadePrintsTheFlimSwitches) {
    configSetPrint(1);
    const std::string text = printed([] {
        EXPECT_EQ(apiCorrectFlimOffset(1), 0);
        EXPECT_EQ(apiCorrectFlimGain(0), 0);
    });
    EXPECT_EQ(text, "correctFlimOffset 1\ncorrectFlimGain 0\n");
    configSetPrint(0);
    EXPECT_EQ(apiCalibrateFlim(nullptr), -1);
}

TEST_F(GrayCorrectionTest, StartUpLoadsTheTables) {
    write(kTableFile, rows_of("1.5", kRows) + rows_of("3", kRows));
    configInit_simulate(0x20);
    EXPECT_EQ(configIsEnabledGrayscaleCorrection(), 1);
    EXPECT_EQ(grayscaleGain[kPixels - 1], 1.5);
    EXPECT_EQ(grayscaleOffset[0], 3.0);
    std::filesystem::remove(kTableFile);
    configInit_simulate(0x20);
    EXPECT_EQ(configIsEnabledGrayscaleCorrection(), 0);
    EXPECT_EQ(grayscaleGain[kPixels - 1], 1.0);
}

}  // namespace
}  // namespace tarvo::test
