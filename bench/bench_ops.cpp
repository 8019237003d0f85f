#include "bench_ops.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace bench {

Api dx;

namespace {

std::filesystem::path scratch;
std::string text;  // file_size bytes, none of them NUL

void library_writes(const Op &op, double handle)
{
    for (long i = 0, n = op.calls; i < n; ++i)
        keep((dx.*op.library_write)(handle, static_cast<double>(i & 0x7F)));
    dx.FileSeek(handle, 0, 0);
}

void library_reads(const Op &op, double handle)
{
    for (long i = 0, n = op.calls; i < n; ++i)
        keep((dx.*op.library_read)(handle));
    dx.FileSeek(handle, 0, 0);
}

void bare_putc(const Op &op, std::FILE *stream)
{
    for (long i = 0, n = op.calls; i < n; ++i)
        keep(std::fputc(static_cast<int>(i & 0x7F), stream));
    std::fseek(stream, 0, SEEK_SET);
}

void bare_getc(const Op &op, std::FILE *stream)
{
    for (long i = 0, n = op.calls; i < n; ++i)
        keep(std::fgetc(stream));
    std::fseek(stream, 0, SEEK_SET);
}

// One fwrite of the item, as a native host would store a value of that width.
void bare_fwrite(const Op &op, std::FILE *stream)
{
    for (long i = 0, n = op.calls; i < n; ++i) {
        const std::uint64_t item = static_cast<std::uint64_t>(i & 0x7F);
        keep(std::fwrite(&item, static_cast<std::size_t>(op.width), 1, stream));
    }
    std::fseek(stream, 0, SEEK_SET);
}

void bare_fread(const Op &op, std::FILE *stream)
{
    for (long i = 0, n = op.calls; i < n; ++i) {
        std::uint64_t item = 0;
        keep(std::fread(&item, static_cast<std::size_t>(op.width), 1, stream));
        keep(item);
    }
    std::fseek(stream, 0, SEEK_SET);
}

void library_write_string(const Op &, double handle)
{
    keep(dx.FileWriteString(handle, text.c_str()));
    dx.FileSeek(handle, 0, 0);
}

// The host holds a NUL-terminated string, as the library receives it, so the
// bare side too must find its length before it writes.
void bare_write_string(const Op &, std::FILE *stream)
{
    const char *string = text.c_str();
    keep(std::fwrite(string, 1, std::strlen(string), stream));
    std::fseek(stream, 0, SEEK_SET);
}

// The write alone, for a host that knows the length: what the library's
// length scan adds to the write shows against this.
void bare_write_known_length(const Op &, std::FILE *stream)
{
    keep(std::fwrite(text.data(), 1, text.size(), stream));
    std::fseek(stream, 0, SEEK_SET);
}

// The host owns each block the library returns and frees it; the bare side
// allocates and frees a block of the same size, as the library must.
void library_read_string(const Op &, double handle)
{
    const char *block = dx.FileReadString(handle, static_cast<double>(file_size));
    keep(block[0]);
    std::free(const_cast<char *>(block));
    dx.FileSeek(handle, 0, 0);
}

void bare_read_string(const Op &, std::FILE *stream)
{
    char *block = static_cast<char *>(std::malloc(file_size + 1));
    keep(std::fread(block, 1, file_size, stream));
    block[file_size] = '\0';
    keep(block[0]);
    std::free(block);
    std::fseek(stream, 0, SEEK_SET);
}

// A host that walks records: go to each 8-byte record and ask where it is.
// The records lie within the stream's buffer, where the C runtime's own
// work is least and the library's share of the time the largest.
void library_seek_tell(const Op &op, double handle)
{
    for (long i = 0, n = op.calls; i < n; ++i) {
        keep(dx.FileSeek(handle, static_cast<double>(i * 8), 0));
        keep(dx.FileTell(handle));
    }
}

void bare_seek_tell(const Op &op, std::FILE *stream)
{
    for (long i = 0, n = op.calls; i < n; ++i) {
        keep(std::fseek(stream, i * 8, SEEK_SET));
        keep(std::ftell(stream));
    }
}

std::string data_file(const Op &op, const char *side)
{
    return (scratch / (op.mode[0] == 'r' ? std::string("in") : std::string("out-") + side)).string();
}

template <typename Function>
bool find(void *module, const char *name, Function &function)
{
    function = reinterpret_cast<Function>(find_export(module, name));
    if (function == nullptr)
        std::fprintf(stderr, "export %s is missing\n", name);
    return function != nullptr;
}

} // namespace

// Targets: Linux single-threaded, Linux with a second thread, Windows.
const Op ops[] = {
    {"FileWrite8 / fputc", "wb", 1, file_size / 1, &Api::FileWrite8, nullptr,
     library_writes, bare_putc, {1.4, 0.35, 0.5}},
    {"FileRead8 / fgetc", "rb", 1, file_size / 1, nullptr, &Api::FileRead8,
     library_reads, bare_getc, {1.4, 0.35, 0.5}},
    {"FileWrite16 / fwrite", "wb", 2, file_size / 2, &Api::FileWrite16, nullptr,
     library_writes, bare_fwrite, {0.7, 0.6, 0.6}},
    {"FileRead16 / fread", "rb", 2, file_size / 2, nullptr, &Api::FileRead16,
     library_reads, bare_fread, {0.7, 0.6, 0.6}},
    {"FileWrite32 / fwrite", "wb", 4, file_size / 4, &Api::FileWrite32, nullptr,
     library_writes, bare_fwrite, {0.7, 0.6, 0.6}},
    {"FileRead32 / fread", "rb", 4, file_size / 4, nullptr, &Api::FileRead32,
     library_reads, bare_fread, {0.7, 0.6, 0.6}},
    {"FileWriteDouble / fwrite", "wb", 8, file_size / 8, &Api::FileWriteDouble, nullptr,
     library_writes, bare_fwrite, {0.7, 0.6, 0.6}},
    {"FileReadDouble / fread", "rb", 8, file_size / 8, nullptr, &Api::FileReadDouble,
     library_reads, bare_fread, {0.7, 0.6, 0.6}},
    {"FileWriteString 64 KiB / fwrite", "wb", file_size, 1, nullptr, nullptr, library_write_string,
     bare_write_string, {1.05, 1.05, no_target}},
    {"FileWriteString 64 KiB / fwrite only", "wb", file_size, 1, nullptr, nullptr,
     library_write_string, bare_write_known_length, {no_target, no_target, 1.25}},
    {"FileReadString 64 KiB / fread", "rb", file_size, 1, nullptr, nullptr, library_read_string,
     bare_read_string, {1.05, 1.05, 1.05}},
    {"FileSeek+FileTell / fseek+ftell", "rb", 8, 256, nullptr, nullptr, library_seek_tell,
     bare_seek_tell, {1.05, 1.05, 1.1}},
};
const std::size_t op_count = sizeof ops / sizeof ops[0];

bool load_module(const char *path)
{
    void *module = open_module(path);
    return module != nullptr && find(module, "FileOpen", dx.FileOpen) &&
           find(module, "FileClose", dx.FileClose) &&
           find(module, "FileWrite8", dx.FileWrite8) &&
           find(module, "FileWrite16", dx.FileWrite16) &&
           find(module, "FileWrite32", dx.FileWrite32) &&
           find(module, "FileWriteDouble", dx.FileWriteDouble) &&
           find(module, "FileWriteString", dx.FileWriteString) &&
           find(module, "FileRead8", dx.FileRead8) && find(module, "FileRead16", dx.FileRead16) &&
           find(module, "FileRead32", dx.FileRead32) &&
           find(module, "FileReadDouble", dx.FileReadDouble) &&
           find(module, "FileReadString", dx.FileReadString) &&
           find(module, "FileSeek", dx.FileSeek) && find(module, "FileTell", dx.FileTell);
}

bool set_up_data()
{
    std::error_code error;
    scratch = std::filesystem::temp_directory_path(error) /
              ("dravenix-bench-" + std::to_string(process_id()));
    // A folder left by a run that was killed is reused: wine hands out the
    // same process ids again.
    if (!error)
        std::filesystem::create_directories(scratch, error);
    if (error) {
        std::fprintf(stderr, "cannot make the scratch folder %s\n", scratch.string().c_str());
        return false;
    }
    text.resize(file_size);
    for (long i = 0; i < file_size; ++i)
        text[static_cast<std::size_t>(i)] = static_cast<char>('!' + i % 90);
    std::FILE *in = std::fopen((scratch / "in").string().c_str(), "wb");
    if (in == nullptr || std::fwrite(text.data(), 1, text.size(), in) != text.size() ||
        std::fclose(in) != 0) {
        std::fprintf(stderr, "cannot write the data file\n");
        return false;
    }
    return true;
}

void remove_data()
{
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
}

Streams open_streams(const Op &op)
{
    Streams streams;
    streams.handle = dx.FileOpen(data_file(op, "library").c_str(), op.mode);
    streams.stream = std::fopen(data_file(op, "bare").c_str(), op.mode);
    return streams;
}

void close_streams(const Streams &streams)
{
    if (streams.handle >= 0)
        dx.FileClose(streams.handle);
    if (streams.stream != nullptr)
        std::fclose(streams.stream);
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

int print_ratio_table(const std::vector<Rounds> &rounds, bool threaded)
{
    std::printf("\n%s host: the C runtime %s its streams\n",
                threaded ? "Multithreaded" : "Single-threaded",
                runtime_locks_streams() ? "locks" : "does not lock");
    std::printf("%-37s %12s %12s %7s %7s  %s\n", "op (library / bare)", "library ns",
                "bare ns", "ratio", "target", "rounds");
    int missed = 0;
    for (std::size_t i = 0; i < op_count && i < rounds.size(); ++i) {
        if (rounds[i].ratio.empty())
            continue;
        const double ratio = median(rounds[i].ratio);
        double target = target_ratio(ops[i], threaded);
        if (layer_target.ratio != no_target && (layer_target.every_pair || target != no_target))
            target = layer_target.ratio;
        const bool met = target == no_target || ratio <= target;
        missed += met ? 0 : 1;
        char target_text[16] = "-";
        if (target != no_target)
            std::snprintf(target_text, sizeof target_text, "%.2f", target);
        std::printf("%-37s %12.2f %12.2f %7.3f %7s  ", ops[i].name, median(rounds[i].library),
                    median(rounds[i].bare), ratio, target_text);
        if (target == no_target)
            std::printf("%zu\n", rounds[i].ratio.size());
        else
            std::printf("%-6zu %s\n", rounds[i].ratio.size(), met ? "met" : "MISSED");
    }
    std::fflush(stdout);
    return missed;
}

} // namespace bench
