// libsndfile readers and writers, and the rename-on-completion rule for every output.
#include "audiofile.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "common.h"

namespace tilde {

namespace fs = std::filesystem;

// ---- PendingFile -------------------------------------------------------------------

PendingFile::PendingFile(std::string destination) : destination_(std::move(destination))
{
    if (destination_.empty())
        throw BadInput("an output file name is empty");
    fs::path dest(destination_);
    if (fs::is_directory(dest))
        throw BadInput("cannot write '" + destination_ + "': it is a folder");
    fs::path dir = dest.parent_path();
    std::string pattern = (dir.empty() ? fs::path(".") : dir).string() + "/." + dest.filename().string() + ".part-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    fd_ = mkstemp(buf.data());
    if (fd_ < 0)
        throw BadInput("cannot write '" + destination_ + "': " + std::strerror(errno));
    temporary_ = buf.data();
    // mkstemp makes the file private; give it the permissions a plain new file would get.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd_, 0666 & ~mask);
}

PendingFile::~PendingFile()
{
    if (fd_ >= 0)
        close(fd_);
    if (!committed_ && !temporary_.empty())
        unlink(temporary_.c_str());
}

int PendingFile::release_fd()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void PendingFile::commit()
{
    if (fd_ >= 0) {
        int rc = close(fd_);
        fd_ = -1;
        if (rc != 0)
            throw Failure("cannot finish '" + destination_ + "': " + std::strerror(errno));
    }
    if (std::rename(temporary_.c_str(), destination_.c_str()) != 0)
        throw Failure("cannot write '" + destination_ + "': " + std::strerror(errno));
    committed_ = true;
}

// ---- formats -----------------------------------------------------------------------

SampleFormat parse_sample_format(const std::string &name)
{
    if (name == "float")
        return SampleFormat::Float;
    if (name == "double")
        return SampleFormat::Double;
    if (name == "pcm16")
        return SampleFormat::Pcm16;
    if (name == "pcm24")
        return SampleFormat::Pcm24;
    throw BadInput("unknown sample format '" + name + "' (float, double, pcm16 or pcm24)");
}

static int subformat(SampleFormat fmt)
{
    switch (fmt) {
    case SampleFormat::Float: return SF_FORMAT_FLOAT;
    case SampleFormat::Double: return SF_FORMAT_DOUBLE;
    case SampleFormat::Pcm16: return SF_FORMAT_PCM_16;
    case SampleFormat::Pcm24: return SF_FORMAT_PCM_24;
    }
    return SF_FORMAT_FLOAT;
}

static const char *sample_format_name(SampleFormat fmt)
{
    switch (fmt) {
    case SampleFormat::Float: return "float";
    case SampleFormat::Double: return "double";
    case SampleFormat::Pcm16: return "pcm16";
    case SampleFormat::Pcm24: return "pcm24";
    }
    return "?";
}

int file_format_for(const std::string &path, SampleFormat fmt)
{
    std::string ext = lower(fs::path(path).extension().string());
    if (!ext.empty())
        ext.erase(0, 1);
    int major = 0;
    if (ext == "wav")
        major = SF_FORMAT_RF64;  // written as plain WAV unless it outgrows 4 GB (see SoundWriter)
    else if (ext == "aif")
        major = SF_FORMAT_AIFF;
    else if (!ext.empty()) {
        int count = 0;
        sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
        for (int i = 0; i < count && !major; ++i) {
            SF_FORMAT_INFO info{};
            info.format = i;
            sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info);
            if (info.extension && ext == info.extension)
                major = info.format;
        }
    }
    if (!major)
        throw BadInput("cannot tell the sound file type of '" + path + "' from its name (use .wav, .aiff, .flac, .caf ...)");
    SF_INFO check{};
    check.channels = 1;
    check.samplerate = 48000;
    check.format = major | subformat(fmt);
    if (!sf_format_check(&check))
        throw BadInput("a ." + ext + " file cannot hold " + sample_format_name(fmt) + " samples ('" + path + "')");
    return check.format;
}

// ---- SoundReader -------------------------------------------------------------------

SoundReader::SoundReader(const std::string &path) : path_(path)
{
    if (!fs::exists(path))
        throw BadInput("cannot read '" + path + "': no such file");
    if (fs::is_directory(path))
        throw BadInput("cannot read '" + path + "': it is a folder");
    SF_INFO info{};
    file_ = sf_open(path.c_str(), SFM_READ, &info);
    if (!file_)
        throw BadInput("cannot read '" + path + "': " + sf_strerror(nullptr));
    channels_ = info.channels;
    frames_ = info.frames;
    samplerate_ = info.samplerate;
    if (channels_ <= 0 || samplerate_ <= 0)
        throw BadInput("cannot read '" + path + "': no channels or no sample rate");
}

SoundReader::~SoundReader()
{
    if (file_)
        sf_close(file_);
}

void SoundReader::fill(std::int64_t start, long n)
{
    cache_.assign(std::size_t(n) * std::size_t(channels_), 0.0);
    cached_start_ = start;
    cached_n_ = n;
    if (start >= frames_)
        return;
    if (start != position_) {
        if (sf_seek(file_, start, SEEK_SET) < 0)
            throw Failure("cannot read '" + path_ + "': " + sf_strerror(file_));
        position_ = start;
    }
    sf_count_t want = std::min<sf_count_t>(n, frames_ - start);
    sf_count_t got = sf_readf_double(file_, cache_.data(), want);
    if (got < 0)
        got = 0;
    position_ += got;
    if (got < want)
        throw Failure("cannot read '" + path_ + "': " + sf_strerror(file_));
}

void SoundReader::read(int ch, std::int64_t start, long n, double *out)
{
    if (start != cached_start_ || n != cached_n_)
        fill(start, n);
    const double *src = cache_.data() + ch;
    for (long i = 0; i < n; ++i)
        out[i] = src[std::size_t(i) * std::size_t(channels_)];
}

// ---- SoundWriter -------------------------------------------------------------------

SoundWriter::SoundWriter(const std::string &path, int channels, double samplerate, SampleFormat fmt)
    : pending_(path), channels_(channels)
{
    SF_INFO info{};
    info.channels = channels;
    info.samplerate = int(std::lround(samplerate));
    info.format = file_format_for(path, fmt);
    if (!sf_format_check(&info))
        throw BadInput("cannot write '" + path + "' with " + std::to_string(channels) + " channels at " +
                       std::to_string(info.samplerate) + " Hz");
    file_ = sf_open_fd(pending_.fd(), SFM_WRITE, &info, SF_TRUE);
    if (!file_)
        throw Failure("cannot write '" + path + "': " + sf_strerror(nullptr));
    pending_.release_fd();  // libsndfile closes it now
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_RF64)
        sf_command(file_, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    // Integer formats clip out-of-range samples instead of wrapping them round.
    sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
}

SoundWriter::~SoundWriter()
{
    if (file_)
        sf_close(file_);
}

void SoundWriter::write(const std::vector<const double *> &channels, std::int64_t n)
{
    if (n <= 0)
        return;
    interleaved_.resize(std::size_t(n) * std::size_t(channels_));
    for (int c = 0; c < channels_; ++c)
        for (std::int64_t i = 0; i < n; ++i)
            interleaved_[std::size_t(i) * std::size_t(channels_) + std::size_t(c)] = channels[std::size_t(c)][i];
    sf_count_t done = sf_writef_double(file_, interleaved_.data(), n);
    if (done != n)
        throw Failure("cannot write '" + pending_.destination() + "': " + sf_strerror(file_));
}

void SoundWriter::finish()
{
    int rc = sf_close(file_);
    file_ = nullptr;
    if (rc != 0)
        throw Failure("cannot finish '" + pending_.destination() + "': " + sf_error_number(rc));
    pending_.commit();
}

// ---- TextWriter --------------------------------------------------------------------

TextWriter::TextWriter(const std::string &path) : pending_(path)
{
    stream_ = fdopen(pending_.fd(), "w");
    if (!stream_)
        throw Failure("cannot write '" + path + "': " + std::strerror(errno));
    pending_.release_fd();
}

TextWriter::~TextWriter()
{
    if (stream_)
        std::fclose(stream_);
}

void TextWriter::finish()
{
    bool failed = std::ferror(stream_) != 0;
    failed = (std::fclose(stream_) != 0) || failed;
    stream_ = nullptr;
    if (failed)
        throw Failure("cannot write '" + pending_.destination() + "'");
    pending_.commit();
}

}  // namespace tilde
