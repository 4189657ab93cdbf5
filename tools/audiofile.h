// Sound files through libsndfile, and output files that appear only when complete.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

struct sf_private_tag;

namespace tilde {

// A file written under a temporary name in the destination's folder and renamed to the
// destination by commit(); destroyed without commit, the temporary file is removed, so a
// failed or interrupted run never leaves half a file behind.
class PendingFile {
public:
    explicit PendingFile(std::string destination);  // throws BadInput when it cannot be created
    ~PendingFile();
    PendingFile(const PendingFile &) = delete;
    PendingFile &operator=(const PendingFile &) = delete;
    int fd() const { return fd_; }
    // Hands the descriptor over to a writer that closes it itself.
    int release_fd();
    const std::string &destination() const { return destination_; }
    void commit();  // throws Failure when the rename fails

private:
    std::string destination_;
    std::string temporary_;
    int fd_ = -1;
    bool committed_ = false;
};

// Sample formats of --format.
enum class SampleFormat { Float, Double, Pcm16, Pcm24 };
SampleFormat parse_sample_format(const std::string &name);  // throws BadInput

// Container formats are chosen by the file name's extension; ".wav" writes WAV, switching
// to RF64 only when the data outgrows the 4 GB limit. Throws BadInput for a name whose
// extension we cannot write, or a sample format the container cannot hold.
int file_format_for(const std::string &path, SampleFormat fmt);

// Streams an input file block by block; channel k of the block starting at `start`.
class SoundReader {
public:
    explicit SoundReader(const std::string &path);  // throws BadInput
    ~SoundReader();
    SoundReader(const SoundReader &) = delete;
    SoundReader &operator=(const SoundReader &) = delete;
    int channels() const { return channels_; }
    std::int64_t frames() const { return frames_; }
    double samplerate() const { return samplerate_; }
    const std::string &path() const { return path_; }
    // Copies n samples of channel `ch` from frame `start` (zeros past the end of the file).
    void read(int ch, std::int64_t start, long n, double *out);

private:
    void fill(std::int64_t start, long n);
    std::string path_;
    sf_private_tag *file_ = nullptr;
    int channels_ = 0;
    std::int64_t frames_ = 0;
    double samplerate_ = 0;
    std::int64_t cached_start_ = -1;
    long cached_n_ = 0;
    std::int64_t position_ = 0;
    std::vector<double> cache_;  // interleaved
};

// Writes interleaved frames to a PendingFile; finish() closes and renames it.
class SoundWriter {
public:
    SoundWriter(const std::string &path, int channels, double samplerate, SampleFormat fmt);
    ~SoundWriter();
    SoundWriter(const SoundWriter &) = delete;
    SoundWriter &operator=(const SoundWriter &) = delete;
    // channels[c][i] for i < n.
    void write(const std::vector<const double *> &channels, std::int64_t n);
    void finish();

private:
    PendingFile pending_;
    sf_private_tag *file_ = nullptr;
    int channels_;
    std::vector<double> interleaved_;
};

// A text output (the events CSV) with the same all-or-nothing rule.
class TextWriter {
public:
    explicit TextWriter(const std::string &path);
    ~TextWriter();
    TextWriter(const TextWriter &) = delete;
    TextWriter &operator=(const TextWriter &) = delete;
    std::FILE *stream() { return stream_; }
    void finish();

private:
    PendingFile pending_;
    std::FILE *stream_ = nullptr;
};

}  // namespace tilde
