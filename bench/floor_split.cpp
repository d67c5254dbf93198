// The floor for the EML benchmark: the least any splitter must do. Reads the mailbox in large
// blocks, cuts before every "From " that follows a line feed (and at offset 0), and writes each
// piece unchanged to <outdir>/Email-<j>.eml. No parsing, no checks, no progress: whatever
// quillmark-cli takes beyond this is the price of its own work.
//
// Usage: floor_split MAILBOX OUTDIR   (OUTDIR must exist)

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kBlock = std::size_t{8} << 20;
constexpr char kCut[] = "\nFrom ";
constexpr std::size_t kCutLen = sizeof kCut - 1;

[[noreturn]] void die(const char* what, const std::string& name)
{
    std::fprintf(stderr, "floor_split: %s %s: %s\n", what, name.c_str(), std::strerror(errno));
    std::exit(1);
}

class Pieces {
public:
    explicit Pieces(std::string dir) : m_dir(std::move(dir)) { next(); }
    ~Pieces()
    {
        if (m_fd >= 0) ::close(m_fd);
    }
    Pieces(const Pieces&) = delete;
    Pieces& operator=(const Pieces&) = delete;

    void next()
    {
        if (m_fd >= 0) ::close(m_fd);
        // Numbered from 0, as quillmark-cli numbers its files.
        m_name = m_dir + "/Email-" + std::to_string(m_count++) + ".eml";
        m_fd = ::open(m_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (m_fd < 0) die("cannot create", m_name);
    }

    void write(const char* data, std::size_t size)
    {
        while (size > 0) {
            const ssize_t n = ::write(m_fd, data, size);
            if (n < 0) {
                if (errno == EINTR) continue;
                die("cannot write", m_name);
            }
            data += n;
            size -= static_cast<std::size_t>(n);
        }
    }

    std::size_t count() const noexcept { return m_count; }

private:
    std::string m_dir;
    std::string m_name;
    int m_fd = -1;
    std::size_t m_count = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fputs("usage: floor_split MAILBOX OUTDIR\n", stderr);
        return 2;
    }
    const std::string input = argv[1];
    const int in = ::open(input.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) die("cannot open", input);
    ::posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);

    Pieces out(argv[2]);
    // The last kCutLen - 1 bytes of a block may begin a separator that ends in the next block:
    // they are carried over and written once the next block has been searched.
    std::vector<char> buf(kBlock + kCutLen);
    std::size_t carry = 0;
    for (;;) {
        ssize_t got = ::read(in, buf.data() + carry, kBlock);
        if (got < 0) {
            if (errno == EINTR) continue;
            die("cannot read", input);
        }
        const std::size_t total = carry + static_cast<std::size_t>(got);
        const char* const base = buf.data();
        if (got == 0) {
            out.write(base, total);
            break;
        }
        std::size_t start = 0;
        std::size_t pos = 0;
        while (pos + kCutLen <= total) {
            const void* nl = std::memchr(base + pos, '\n', total - kCutLen + 1 - pos);
            if (nl == nullptr) break;
            const auto at = static_cast<std::size_t>(static_cast<const char*>(nl) - base);
            if (std::memcmp(base + at, kCut, kCutLen) == 0) {
                out.write(base + start, at + 1 - start);
                out.next();
                start = at + 1;
            }
            pos = at + 1;
        }
        const std::size_t keep = total < kCutLen - 1 ? total : kCutLen - 1;
        const std::size_t limit = total - keep;
        if (limit > start) out.write(base + start, limit - start);
        // Bytes between start and limit were just written; only the tail moves to the front.
        const std::size_t from = limit > start ? limit : start;
        carry = total - from;
        std::memmove(buf.data(), base + from, carry);
    }
    ::close(in);
    std::printf("%zu pieces\n", out.count());
    return 0;
}
