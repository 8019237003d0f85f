#include "stream_model.h"

#include <cmath>
#include <cstring>

namespace model {

namespace {

std::vector<std::uint8_t> little_endian(std::uint64_t bits, int width)
{
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < width; ++i)
        bytes.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    return bytes;
}

std::uint64_t from_little_endian(const std::vector<std::uint8_t> &bytes)
{
    std::uint64_t bits = 0;
    for (std::size_t i = bytes.size(); i-- > 0;)
        bits = (bits << 8) | bytes[i];
    return bits;
}

} // namespace

std::optional<int> Model::slot_of(double handle)
{
    if (std::isnan(handle) || handle < 0 || handle >= slots)
        return std::nullopt;
    return static_cast<int>(std::trunc(handle));
}

std::int32_t Model::to_int(double value)
{
    if (std::isnan(value))
        return INT32_MIN;
    const double whole = std::trunc(value);
    if (whole < -2147483648.0 || whole > 2147483647.0)
        return INT32_MIN;
    return static_cast<std::int32_t>(whole);
}

bool Model::to_offset(double value, std::int64_t *offset)
{
    if (!std::isfinite(value))
        return false;
    const double whole = std::trunc(value);
    if (whole < -9223372036854775808.0 || whole >= 9223372036854775808.0)
        return false;
    *offset = static_cast<std::int64_t>(whole);
    return true;
}

Stream *Model::stream_at(double handle)
{
    const std::optional<int> slot = slot_of(handle);
    if (!slot || !table_[*slot])
        return nullptr;
    return &*table_[*slot];
}

bool Model::full() const
{
    for (const auto &slot : table_)
        if (!slot)
            return false;
    return true;
}

std::vector<int> Model::openers(int file) const
{
    std::vector<int> result;
    for (int i = 0; i < slots; ++i)
        if (table_[i] && table_[i]->file == file)
            result.push_back(i);
    return result;
}

bool Model::open_would_succeed(int file, const Mode &mode) const
{
    if (full() || mode.text == nullptr || !mode.accepted)
        return false;
    const File &f = files_[file];
    if (!f.creatable)
        return false;
    if (mode.must_exist && !f.exists)
        return false;
    return !(mode.exclusive && f.exists);
}

double Model::open(int file, const Mode &mode, bool null_name)
{
    if (full())
        return -2;
    if (null_name || !open_would_succeed(file, mode))
        return -1;
    File &f = files_[file];
    f.exists = true;
    if (mode.truncate)
        f.bytes.clear();
    int slot = 0;
    while (table_[slot])
        ++slot;
    // A write-only append stream starts at the end; "a+" reads from the
    // start, as glibc documents.
    const std::uint64_t start = mode.append && !mode.readable ? f.bytes.size() : 0;
    table_[slot] = Stream{file, mode, start};
    return slot;
}

double Model::close(double handle)
{
    const std::optional<int> slot = slot_of(handle);
    if (!slot || !table_[*slot])
        return -1;
    table_[*slot].reset();
    return 0;
}

double Model::close_all()
{
    for (auto &slot : table_)
        slot.reset();
    return 0;
}

std::uint64_t Model::write_offset(const Stream &stream) const
{
    return stream.mode.append ? files_[stream.file].bytes.size() : stream.position;
}

bool Model::put(Stream &stream, const std::vector<std::uint8_t> &bytes)
{
    if (!stream.mode.writable)
        return false;
    std::vector<std::uint8_t> &data = files_[stream.file].bytes;
    const std::uint64_t offset = write_offset(stream);
    if (data.size() < offset + bytes.size())
        data.resize(offset + bytes.size(), 0);  // a gap reads as zeros
    std::memcpy(data.data() + offset, bytes.data(), bytes.size());
    stream.position = offset + bytes.size();
    stream.last = Direction::writing;
    return true;
}

std::vector<std::uint8_t> Model::take(Stream &stream, std::size_t count)
{
    std::vector<std::uint8_t> got;
    if (!stream.mode.readable)
        return got;  // a read error, not the end of the file
    stream.last = Direction::reading;
    // The indicator is sticky: once set, reads find nothing until a seek.
    if (stream.eof)
        return got;
    const std::vector<std::uint8_t> &data = files_[stream.file].bytes;
    const std::uint64_t available =
        stream.position < data.size() ? data.size() - stream.position : 0;
    const std::size_t n = count < available ? count : static_cast<std::size_t>(available);
    if (n > 0)
        got.assign(data.begin() + static_cast<std::ptrdiff_t>(stream.position),
                   data.begin() + static_cast<std::ptrdiff_t>(stream.position + n));
    stream.position += n;
    if (n < count)
        stream.eof = true;
    return got;
}

double Model::write_bytes_result(double handle, const std::vector<std::uint8_t> &bytes,
                                 double success, double write_error)
{
    Stream *s = stream_at(handle);
    if (s == nullptr)
        return -1;
    return put(*s, bytes) ? success : write_error;
}

double Model::write8(double handle, double value)
{
    const std::uint8_t byte = static_cast<std::uint8_t>(to_int(value));
    return write_bytes_result(handle, {byte}, byte, -1);
}

double Model::write16(double handle, double value)
{
    return write_bytes_result(handle, little_endian(static_cast<std::uint32_t>(to_int(value)), 2),
                              1, 0);
}

double Model::write32(double handle, double value)
{
    return write_bytes_result(handle, little_endian(static_cast<std::uint32_t>(to_int(value)), 4),
                              1, 0);
}

double Model::write_double(double handle, double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return write_bytes_result(handle, little_endian(bits, 8), 1, 0);
}

double Model::write_string(double handle, const char *text)
{
    Stream *s = stream_at(handle);
    if (s == nullptr || text == nullptr)
        return -1;
    const std::size_t length = std::strlen(text);
    if (length == 0)
        return 0;  // nothing to write, so nothing can fail
    return put(*s, std::vector<std::uint8_t>(text, text + length)) ? static_cast<double>(length)
                                                                    : -1;
}

double Model::read8(double handle)
{
    Stream *s = stream_at(handle);
    if (s == nullptr)
        return -1;
    const std::vector<std::uint8_t> got = take(*s, 1);
    return got.empty() ? -1 : got[0];
}

double Model::read16(double handle)
{
    Stream *s = stream_at(handle);
    if (s == nullptr)
        return -1;
    return static_cast<std::int16_t>(from_little_endian(take(*s, 2)));
}

double Model::read32(double handle)
{
    Stream *s = stream_at(handle);
    if (s == nullptr)
        return -1;
    return static_cast<std::int32_t>(from_little_endian(take(*s, 4)));
}

std::uint64_t Model::read_double_bits(double handle)
{
    Stream *s = stream_at(handle);
    if (s == nullptr) {
        const double failure = -1;
        std::uint64_t bits;
        std::memcpy(&bits, &failure, sizeof bits);
        return bits;
    }
    return from_little_endian(take(*s, 8));
}

StringResult Model::read_string(double handle, double count)
{
    Stream *s = stream_at(handle);
    if (s == nullptr)
        return {true, {}};
    const std::int32_t n = to_int(count);
    const std::size_t length = n > 0 ? static_cast<std::size_t>(n) : 0;
    const std::vector<std::uint8_t> got = take(*s, length);
    std::string bytes(got.begin(), got.end());
    bytes.resize(length, '\xFF');  // what lay past the end
    return {false, bytes};
}

double Model::seek(double handle, double offset, double origin)
{
    Stream *s = stream_at(handle);
    std::int64_t distance;
    if (s == nullptr || !to_offset(offset, &distance))
        return -1;
    // Positions stay far below 2^62 (the driver keeps seek targets below
    // 2^40), so the sums cannot overflow.
    std::int64_t base;
    switch (to_int(origin)) {
    case 0: base = 0; break;
    case 1: base = static_cast<std::int64_t>(s->position); break;
    case 2: base = static_cast<std::int64_t>(files_[s->file].bytes.size()); break;
    default: return -1;
    }
    if (distance < -base || distance > largest_position_ - base)
        return -1;
    const std::int64_t target = base + distance;
    s->position = static_cast<std::uint64_t>(target);
    s->eof = false;
    s->last = Direction::none;
    return 0;
}

double Model::tell(double handle)
{
    const Stream *s = stream_at(handle);
    return s == nullptr ? -1 : static_cast<double>(s->position);
}

double Model::is_eof(double handle)
{
    const Stream *s = stream_at(handle);
    if (s == nullptr)
        return -1;
    return s->eof ? 16 : 0;
}

} // namespace model
