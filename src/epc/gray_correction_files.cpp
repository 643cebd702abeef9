// Text files of the grayscale and FLIM correction: the averaged bright image of a calibration in
// progress, and the per-chip gain and offset tables. Files are written under a temporary name
// and renamed when complete. Reading treats them as outside input: lines are bounded, values
// that do not convert and values beyond a row are logged and skipped, and nothing is written
// past a table.
#include <tarvo/epc_config.h>
#include <tarvo/log.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "epc/config_state.h"
#include "files/safe_file.h"
#include "epc/gray_correction.h"
#include "epc/pipeline_common.h"

namespace {

using tarvo::epc::Geometry;
using tarvo::epc::kMaxPixels;

constexpr char kGrayImagePath[] = "./grayscale_temp_image.txt";
constexpr char kFlimImagePath[] = "./flim_temp_image.txt";
// A row of 328 values written as " %.4e" takes under 4000 characters.
constexpr size_t kMaxLineChars = 16384;
// Problems of one file reported line by line; the rest are counted in one closing line.
constexpr int kReportedProblems = 5;

std::string chip_file(const char *format) {
    char path[96];
    std::snprintf(path, sizeof path, format, static_cast<int>(configGetWaferID()),
                  static_cast<int>(configGetChipID()));
    return path;
}

std::string grayscale_table_path() {
    return chip_file(tarvo::epc::is_epc635() ? "./grayscale635_gain_offset_W%03i_C%03i.txt"
                                             : "./grayscale660_gain_offset_W%03i_C%03i.txt");
}

std::string flim_table_path(int gate) {
    static constexpr const char *kFormats[2][2] = {
        {"./epc502_mga_gain_offset_W%03i_C%03i.txt", "./epc502_mgb_gain_offset_W%03i_C%03i.txt"},
        {"./epc503_mga_gain_offset_W%03i_C%03i.txt", "./epc503_mgb_gain_offset_W%03i_C%03i.txt"}};
    return chip_file(kFormats[tarvo::epc::is_epc635() ? 1 : 0][gate]);
}

bool valid_gate(int gate, const char *tag) {
    if (gate >= 0 && gate < tarvo::epc::kFlimGates)
        return true;
    zr_log(4, "ERR", "[%s] no gate %d (0 mga, 1 mgb)\n", tag, gate);
    return false;
}

void log_cannot_open(const char *tag, const std::string &path) {
    zr_log(1, "DBG", "[%s] Could not open %s file.\n", tag, path.c_str());
}

// A file that takes its name only once complete, so that a reader never sees half of it
// (tarvo::files::OutputFile). Dropped unfinished, the temporary file is removed.
class StagedFile {
  public:
    explicit StagedFile(std::string path) : out_(std::move(path)) {
        file_ = out_.open() ? out_.stream() : nullptr;
    }

    FILE *get() const { return file_; }

    bool commit(const char *tag) {
        const bool written = std::ferror(file_) == 0;
        if (written && out_.commit())
            return true;
        zr_log(4, "ERR", "[%s] could not write %s\n", tag, out_.target().c_str());
        return false;
    }

  private:
    tarvo::files::OutputFile out_;
    FILE *file_ = nullptr;
};

template <typename T>
void write_rows(FILE *f, const T *values, const Geometry &g, const char *format) {
    for (int row = 0; row < g.rows; ++row) {
        for (int col = 0; col < g.cols; ++col)
            std::fprintf(f, format, values[row * g.cols + col]);
        std::fputc('\n', f);
    }
}

bool convert(const std::string &token, int &out) {
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(token.c_str(), &end, 0);
    if (errno != 0 || end == token.c_str() || *end != '\0' || v < INT32_MIN || v > INT32_MAX)
        return false;
    out = static_cast<int>(v);
    return true;
}

bool convert(const std::string &token, double &out) {
    errno = 0;
    char *end = nullptr;
    const double v = std::strtod(token.c_str(), &end);
    if (errno != 0 || end == token.c_str() || *end != '\0' || !std::isfinite(v))
        return false;
    out = v;
    return true;
}

// Reads the lines of one table file. Each line's values are stored one after another, at most
// one row's worth per line, each line continuing where the previous one ended.
class TableReader {
  public:
    TableReader(FILE *file, const char *tag, std::string path)
        : file_(file), tag_(tag), path_(std::move(path)) {}
    ~TableReader() {
        if (problems_ > kReportedProblems)
            zr_log(3, "WRN", "[%s] %s: %d more problems\n", tag_, path_.c_str(),
                   problems_ - kReportedProblems);
    }
    TableReader(const TableReader &) = delete;
    TableReader &operator=(const TableReader &) = delete;

    // Reads the next line into table[pos..], at most `per_line` values and never at or past
    // `capacity`; pos moves past the values taken. False when the file has no more lines.
    template <typename T>
    bool read_line(T *table, int per_line, int capacity, int &pos) {
        std::string line;
        if (!next_line(line))
            return false;
        int taken = 0;
        int skipped = 0;
        for_each_token(line, [&](const std::string &token) {
            if (taken >= per_line || pos >= capacity) {
                ++skipped;
                return;
            }
            T value{};
            if (convert(token, value))
                table[pos] = value;
            else
                problem("line %d: \"%.24s\" is not a number; the pixel keeps its value", line_,
                        token.c_str());
            ++taken;
            ++pos;
        });
        if (skipped > 0)
            problem("line %d: %d values beyond the %d of a row ignored", line_, skipped, per_line);
        return true;
    }

  private:
    // One line without its newline; an overlong line is consumed and comes back empty.
    bool next_line(std::string &line) {
        int c = std::getc(file_);
        if (c == EOF)
            return false;
        ++line_;
        bool overlong = false;
        for (; c != EOF && c != '\n'; c = std::getc(file_)) {
            if (line.size() < kMaxLineChars)
                line.push_back(static_cast<char>(c));
            else
                overlong = true;
        }
        if (overlong) {
            problem("line %d longer than %zu characters ignored", line_, kMaxLineChars);
            line.clear();
        }
        return true;
    }

    template <typename Fn>
    static void for_each_token(std::string_view line, Fn &&fn) {
        constexpr std::string_view kBlanks = " \t\r\v\f";
        size_t at = line.find_first_not_of(kBlanks);
        while (at != std::string_view::npos) {
            const size_t end = line.find_first_of(kBlanks, at);
            fn(std::string(line.substr(at, end - at)));
            at = end == std::string_view::npos ? end : line.find_first_not_of(kBlanks, end);
        }
    }

    void problem(const char *format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
    {
        if (++problems_ > kReportedProblems)
            return;
        char text[160];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        zr_log(3, "WRN", "[%s] %s: %s\n", tag_, path_.c_str(), text);
    }

    FILE *file_;
    const char *tag_;
    std::string path_;
    int line_ = 0;
    int problems_ = 0;
};

bool current_image(Geometry &g, const char *tag) {
    return tarvo::epc::current_geometry(g, tag);
}

int save_image(const int *image, const char *path, const char *tag) {
    Geometry g;
    if (image == nullptr || !current_image(g, tag))
        return -1;
    StagedFile out(path);
    if (out.get() == nullptr) {
        log_cannot_open(tag, path);
        return -1;
    }
    write_rows(out.get(), image, g, " %d");
    return out.commit(tag) ? 0 : -1;
}

int load_image(int *image, const char *path, const char *tag) {
    Geometry g;
    if (image == nullptr || !current_image(g, tag))
        return -1;
    FILE *f = tarvo::files::fopen_regular_input(path);
    if (f == nullptr) {
        log_cannot_open(tag, path);
        return -1;
    }
    int result = 0;
    {
        TableReader reader(f, tag, path);
        int pos = 0;
        for (int row = 0; row < g.rows && result == 0; ++row) {
            if (!reader.read_line(image, g.cols, g.pixels, pos)) {
                zr_log(3, "WRN", "[%s] %s: %d of %d lines\n", tag, path, row, g.rows);
                result = -1;
            }
        }
    }
    std::fclose(f);
    return result;
}

int save_tables(const double *gain, const double *offset, const std::string &path,
                const char *tag) {
    Geometry g;
    if (!current_image(g, tag))
        return -1;
    StagedFile out(path);
    if (out.get() == nullptr) {
        log_cannot_open(tag, path);
        return -1;
    }
    write_rows(out.get(), gain, g, " %.4e");
    write_rows(out.get(), offset, g, " %.4e");
    return out.commit(tag) ? 0 : -1;
}

// Reads rows lines of gains, then rows lines of offsets, into tables that the caller has reset.
int load_tables(double *gain, double *offset, const std::string &path, const char *tag) {
    FILE *f = tarvo::files::fopen_regular_input(path.c_str());
    if (f == nullptr) {
        log_cannot_open(tag, path);
        return -1;
    }
    zr_log(1, "DBG", "[%s] %s\n", tag, path.c_str());
    Geometry g;
    if (!current_image(g, tag)) {
        std::fclose(f);
        return -1;
    }
    {
        TableReader reader(f, tag, path);
        const struct {
            double *table;
            const char *format;
        } parts[] = {{gain, "[%s] error gain: %d\n"}, {offset, "[%s] error offset: %d\n"}};
        for (const auto &part : parts) {
            int pos = 0;
            int missing = 0;
            for (int row = 0; row < g.rows; ++row) {
                if (!reader.read_line(part.table, g.cols, kMaxPixels, pos))
                    zr_log(1, "DBG", part.format, tag, ++missing);
            }
        }
    }
    std::fclose(f);
    return 0;
}

}  // namespace

extern "C" {

int calculateSaveGrayscaleImage(int *image) {
    return save_image(image, kGrayImagePath, __func__);
}

int calculateLoadGrayscaleImage(int *image) {
    return load_image(image, kGrayImagePath, __func__);
}

int calculateSaveGrayscaleGainOffset(void) {
    return save_tables(grayscaleGain, grayscaleOffset, grayscale_table_path(), __func__);
}

int calculateLoadGrayscaleGainOffset(void) {
    tarvo::epc::reset_grayscale_tables();
    return load_tables(grayscaleGain, grayscaleOffset, grayscale_table_path(), __func__);
}

int calculateSaveFlimImage(int *image) {
    return save_image(image, kFlimImagePath, __func__);
}

int calculateLoadFlimImage(int *image) {
    return load_image(image, kFlimImagePath, __func__);
}

int calculateSaveFlimGainOffset(int gate) {
    if (!valid_gate(gate, __func__))
        return -1;
    return save_tables(flimGain[gate], flimOffset[gate], flim_table_path(gate), __func__);
}

int calculateLoadFlimGainOffset(int gate) {
    if (!valid_gate(gate, __func__))
        return -1;
    tarvo::epc::reset_flim_tables(gate);
    if (load_tables(flimGain[gate], flimOffset[gate], flim_table_path(gate), __func__) < 0)
        return -1;
    calculateSetFlimCorrectionAvailable(1);
    return 0;
}

}  // extern "C"
