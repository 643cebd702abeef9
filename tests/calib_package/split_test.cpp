// Splitting a per-chip file into the two calibration files, the search for it, and the
// extraction counter.
#include <thread>

#include "calib_fixture.h"

namespace tarvo::test {
namespace {

TEST_F(CalibPackageTest, SplitAtTheSizeModulo256) {
    const std::vector<uint8_t> chip = pattern(153624, 1);
    const fs::path source = prefix_ / "calib_and_param_012.bin";
    write_bytes(source, chip);
    ASSERT_TRUE(calib::_parse_file_ex(&dev_, names_, source.c_str()));
    const std::vector<uint8_t> param = bytes_of(param_file());
    const std::vector<uint8_t> dist = bytes_of(dist_file());
    ASSERT_EQ(param.size(), 24u);
    ASSERT_EQ(dist.size(), 153600u);
    EXPECT_TRUE(std::equal(param.begin(), param.end(), chip.begin()));
    EXPECT_TRUE(std::equal(dist.begin(), dist.end(), chip.begin() + 24));
    EXPECT_FALSE(fs::exists(source));
    expect_no_other_errors();
}

TEST_F(CalibPackageTest, SplitOfExternalModulationUsesSetZero) {
    // Without the façade external modulation is off: set 1 is used and set 0 stays untouched.
    const fs::path source = prefix_ / "calib_and_param_012.bin";
    write_bytes(source, pattern(256 + 20, 2));
    ASSERT_TRUE(calib::_parse_file_ex(&dev_, names_, source.c_str()));
    EXPECT_EQ(bytes_of(param_file()).size(), 20u);
    EXPECT_FALSE(fs::exists(prefix_ / names_[0].parameters));
}

TEST_F(CalibPackageTest, FailedSplitKeepsTheCalibrationInPlace) {
    const std::vector<uint8_t> good_param = pattern(24, 7);
    const std::vector<uint8_t> good_dist = pattern(256, 8);
    struct Case {
        const char *what;
        size_t source_bytes;  // 0: no source file
        const char *dist_name;
        const char *log_line;
    };
    const Case cases[] = {
        {"missing source", 0, kDistName, "open failed"},
        {"parameters only", 24, kDistName, "do not split"},
        {"no parameters", 512, kDistName, "do not split"},
        {"odd parameter part", 256 + 7, kDistName, "do not split"},
        {"distance file cannot be created", 24 + 256, "missing/dir/images.bin", "open failed"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        write_bytes(param_file(), good_param);
        write_bytes(dist_file(), good_dist);
        calib::FileNameSet names[2];
        std::copy(std::begin(names_), std::end(names_), names);
        std::strcpy(names[1].distance_images, c.dist_name);
        const fs::path source = prefix_ / "calib_and_param_012.bin";
        fs::remove(source);
        if (c.source_bytes != 0)
            write_bytes(source, pattern(c.source_bytes, 9));
        log_.clear();
        EXPECT_FALSE(calib::_parse_file_ex(&dev_, names, source.c_str()));
        EXPECT_TRUE(log_.contains(c.log_line, "ERR")) << log_.text();
        EXPECT_EQ(bytes_of(param_file()), good_param);
        EXPECT_EQ(bytes_of(dist_file()), good_dist);
        for (const auto &e : fs::directory_iterator(prefix_))
            EXPECT_EQ(e.path().extension(), ".bin") << e.path();  // no temporary left
    }
}

TEST_F(CalibPackageTest, SearchTakesBackslashesAsSeparators) {
    fs::create_directories(prefix_ / "sub");
    for (const char *name :
         {"calib_and_param_2.bin", "calib_and_param_1.bin", "calib_x.bin", "calib_and_param_3.txt"})
        write_bytes(prefix_ / "sub" / name, {1});
    const std::string pattern = prefix_.string() + "\\sub\\calib_and_param*.bin";
    EXPECT_EQ(calib::find_files(pattern),
              (std::vector<std::string>{"calib_and_param_1.bin", "calib_and_param_2.bin"}));
    EXPECT_TRUE(calib::find_files(prefix_.string() + "\\none\\*.bin").empty());
}

TEST_F(CalibPackageTest, NameWithBackslashesCannotLeadTheSplitOutOfTheFolder) {
    // "unpacked\calib_and_param\..\..\calib_and_param_012.bin" names the file beside the
    // folder once its backslashes count as separators.
    const fs::path folder = prefix_ / "unpacked";
    fs::create_directories(folder / "calib_and_param");
    write_bytes(folder / "calib_and_param\\..\\..\\calib_and_param_012.bin", {});
    const std::vector<uint8_t> outside = pattern(24 + 256, 3);
    write_bytes(prefix_ / "calib_and_param_012.bin", outside);
    EXPECT_FALSE(calib::_parase_file(&dev_, names_,
                                     (folder.string() + "/calib_and_param*.bin").c_str(),
                                     "calib_and_param_012.bin"));
    EXPECT_TRUE(log_.contains("a backslash in the name, skipped", "ERR"));
    EXPECT_EQ(bytes_of(prefix_ / "calib_and_param_012.bin"), outside);
    EXPECT_FALSE(fs::exists(param_file()));
    EXPECT_FALSE(fs::exists(dist_file()));
}

TEST_F(CalibPackageTest, NoPerChipFileIsReported) {
    EXPECT_FALSE(calib::_parase_file(&dev_, names_,
                                     (prefix_.string() + "\\calib_and_param*.bin").c_str(),
                                     "calib_and_param_012.bin"));
    EXPECT_TRUE(log_.contains("[_parase_file] cann't find file in", "ERR"));
}

TEST(ExtractCounter, CountsEveryEntryFromManyThreads) {
    LogCapture log(5);  // the counting, not the lines, is under test
    const int before = calib::extracted_entry_count();
    int total = 1;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i)
                calib::on_extract_to_folder_entry("x", &total);
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(calib::extracted_entry_count() - before, 4000);
}

}  // namespace
}  // namespace tarvo::test
