// An independent model of what the sixteen exports must do, for the
// differential fuzzer and the differential runner. It shares no code with
// the module: it keeps the slot table, each stream's access, position and
// end-of-file indicator, and the bytes of every file, and predicts the
// result of every call from them.
//
// The model covers the sequences the call driver generates (see the rules
// in call_driver.h): a file open for writing is open in no other slot. An
// update stream may switch between reading and writing with no seek in
// between: the position carries over, and a set end-of-file indicator
// stays set, so reads find nothing until a seek.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace model {

// What an open mode asks for, as fopen defines it.
struct Mode {
    const char *text;     // passed to FileOpen unchanged; may be NULL
    bool accepted;        // fopen knows the mode
    bool must_exist;      // "r" modes
    bool truncate;        // "w" modes
    bool exclusive;       // "x": fails if the file exists
    bool readable;
    bool writable;
    bool append;          // every write goes to the end
};

struct File {
    bool exists = false;
    bool creatable = true;  // false for a name in a missing folder
    std::vector<std::uint8_t> bytes;
};

enum class Direction { none, reading, writing };

struct Stream {
    int file;
    Mode mode;
    std::uint64_t position;
    bool eof = false;
    Direction last = Direction::none;  // for update streams
};

// The result of a FileReadString: the failure string, or a block holding
// exactly these bytes and a NUL.
struct StringResult {
    bool failure;
    std::string bytes;
};

class Model {
public:
    static constexpr int slots = 256;

    // A seek to a target past largest_position fails.
    Model(std::vector<File> files, std::int64_t largest_position)
        : files_(std::move(files)), largest_position_(largest_position)
    {
    }

    // The handle test and the number conversions, written independently of
    // the module's own.
    static std::optional<int> slot_of(double handle);
    static std::int32_t to_int(double value);
    static bool to_offset(double value, std::int64_t *offset);

    Stream *stream_at(double handle);
    const File &file(int index) const { return files_[index]; }
    int files() const { return static_cast<int>(files_.size()); }
    bool full() const;

    // Would this open succeed? (The driver consults it before opening a
    // file that is already open elsewhere.)
    bool open_would_succeed(int file, const Mode &mode) const;
    // Every slot holding a stream on this file.
    std::vector<int> openers(int file) const;

    double open(int file, const Mode &mode, bool null_name);
    double close(double handle);
    double close_all();
    double write_bytes_result(double handle, const std::vector<std::uint8_t> &bytes,
                              double success, double write_error);
    double write8(double handle, double value);
    double write16(double handle, double value);
    double write32(double handle, double value);
    double write_double(double handle, double value);
    double write_string(double handle, const char *text);
    double read8(double handle);
    double read16(double handle);
    double read32(double handle);
    // The bits of the double read: a double returned from a function may
    // lose a signalling NaN's bit pattern on 32-bit x86.
    std::uint64_t read_double_bits(double handle);
    StringResult read_string(double handle, double count);
    double seek(double handle, double offset, double origin);
    double tell(double handle);
    double is_eof(double handle);

    // Where the next write on this stream lands.
    std::uint64_t write_offset(const Stream &stream) const;

private:
    // Takes up to `count` bytes at the stream's position; a read that finds
    // fewer sets the end-of-file indicator.
    std::vector<std::uint8_t> take(Stream &stream, std::size_t count);
    bool put(Stream &stream, const std::vector<std::uint8_t> &bytes);

    std::array<std::optional<Stream>, slots> table_;
    std::vector<File> files_;
    std::int64_t largest_position_;
};

} // namespace model
