// The core shared by the differential fuzzer and the differential runner:
// a decoder that turns bytes into calls of the sixteen exports, a driver
// that makes each call through the loaded module and checks its result, and
// at the end the bytes of every file, against the model in stream_model.cpp.
// The fuzzer feeds the decoder its input; the runner feeds it a seeded PRNG.
//
// The sequences stay within behaviour that the module defines, so that
// the model need not copy the internals of any particular C library:
//   - an update stream ("r+", "w+", "a+") switches between reading and
//     writing with or without a positioning call in between, as the input
//     says: the FileSeek(h, 0, 1) that standard C asks of a host, checked
//     like any other call, or none, where the module makes the switch (a
//     write lands where the reading stopped, a read goes on after the
//     output, and the end-of-file indicator stays as it was);
//   - a file open for writing is open in no other slot (several read-only
//     streams may share a file), since what another stream sees of unflushed
//     output depends on buffering;
//   - writes stay within the first 64 KiB of a file (many stream buffers)
//     and seeks below 2^40, so that the model's copy of a file stays small
//     and every file system the scratch folder may live on can hold the
//     positions;
//   - FileReadString counts stay below 2^16: the 2^31-byte block is the unit
//     tests' business, and the fuzzer's memory limit would stop it here.
#pragma once

#include "dravenix_exports.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace driver {

// Where the decoder's bytes come from.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual bool done() const = 0;
    virtual std::uint8_t next() = 0;
};

// A fuzzer input or a saved file; past its end every byte is 0.
class BufferSource : public ByteSource {
public:
    BufferSource(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    bool done() const override { return at_ >= size_; }
    std::uint8_t next() override { return at_ < size_ ? data_[at_++] : 0; }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// An endless stream of bytes from a seed (splitmix64): the same seed gives
// the same bytes on every platform.
class RandomSource : public ByteSource {
public:
    explicit RandomSource(std::uint64_t seed) : state_(seed) {}
    bool done() const override { return false; }
    std::uint8_t next() override;

private:
    std::uint64_t state_;
    std::uint64_t word_ = 0;
    int left_ = 0;
};

// What differs between the platforms the module runs on, where the model
// cannot be the same for all.
struct Platform {
    // A mode without "b" translates line ends (Windows): the bytes of a
    // text-mode stream are not the model's, so only binary modes are used.
    bool text_mode_translates;
    // The module takes the "x" flag. msvcrt.dll's fopen does not know it,
    // and the portable layer takes only the modes of standard C: both
    // refuse such a mode with -1 rather than pass it on.
    bool exclusive_modes;
    // The module takes the "t" flag: glibc's fopen ignores it, the Windows
    // layer opens the stream in text mode; the portable layer refuses it.
    bool text_flag_modes;
    // A double returned from a function travels in an x87 register (32-bit
    // x86), which sets the quiet bit of a signalling NaN: no module can
    // return one. The only relaxation of any check, for FileReadDouble's
    // result; the bytes written to a file are still compared exactly.
    bool returned_doubles_quieted;
    // The largest position a seek reaches. The portable layer keeps its
    // positions in a long where the system has no POSIX fseeko (Windows,
    // where a long has 32 bits) and refuses a target past that.
    std::int64_t largest_position;
};

// The platform this program is built for.
Platform this_platform();

// The first difference from the model, with what is needed to reproduce it:
// the call, both results, and the calls made on the file since it was
// opened, as lines of a GoogleTest body (tests/dravenix_test.h's fixture).
struct Divergence {
    std::string call;      // as the model expected it, ready to paste
    std::string got;       // what the module gave
    std::string expected;  // what the model says
    std::vector<std::string> history;
};

// Called on the first divergence; it must not return.
using DivergenceHandler = void (*)(const Divergence &);

// What stays the same across inputs: the module, the folder, the platform.
struct Session {
    Api dx;
    std::string scratch;
    Platform platform;
    DivergenceHandler on_divergence;
    bool tracing = false;
    const char *failure_string = nullptr;  // FileReadString's, found at start
};

// Closes every slot, empties the scratch folder and runs one input from
// this source until it ends or `max_calls` calls are made; then closes all
// and checks every file. Returns the number of calls made.
long run_input(Session &session, ByteSource &source, int max_calls);

// The scratch folder's files, for removal at exit.
void remove_scratch_files(const Session &session);

// A double's exact value and bits, for messages.
std::string describe(double value);

} // namespace driver
