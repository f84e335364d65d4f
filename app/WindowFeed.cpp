#include "WindowFeed.h"

namespace zb {

namespace {

constexpr std::size_t kHeaderBytes = 5;  // kind and payload length
// A caller who stopped looking at the window does not need more than these.
constexpr std::size_t kMaxMessages = 4;

void appendNumber(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((value >> shift) & 0xFF);
}

std::uint32_t numberAt(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

void appendFrame(std::string& out, WindowFrameKind kind, const std::string& payload) {
    out += static_cast<char>(kind);
    appendNumber(out, static_cast<std::uint32_t>(payload.size()));
    out += payload;
}

bool knownKind(unsigned char kind) {
    return kind >= static_cast<unsigned char>(WindowFrameKind::Caption) &&
           kind <= static_cast<unsigned char>(WindowFrameKind::Message);
}

}  // namespace

void WindowFeed::setStatusPanel(int panel, std::string text) {
    if (panel == 0 || panel == 1) panels_[static_cast<std::size_t>(panel)] = std::move(text);
}

void WindowFeed::addMessage(std::string text, std::string caption) {
    if (messages_.size() < kMaxMessages) messages_.emplace_back(std::move(text), std::move(caption));
}

bool WindowFeed::empty() const {
    return !caption_ && !gauge_ && !panels_[0] && !panels_[1] && !show_ && messages_.empty();
}

std::string WindowFeed::take() {
    std::string out;
    if (caption_) appendFrame(out, WindowFrameKind::Caption, *caption_);
    if (gauge_) {
        std::string payload;
        appendNumber(payload, static_cast<std::uint32_t>(gauge_->first));
        appendNumber(payload, static_cast<std::uint32_t>(gauge_->second));
        appendFrame(out, WindowFrameKind::Gauge, payload);
    }
    for (std::size_t panel = 0; panel < panels_.size(); ++panel) {
        if (panels_[panel]) appendFrame(out, WindowFrameKind::StatusPanel, static_cast<char>(panel) + *panels_[panel]);
    }
    if (show_) appendFrame(out, WindowFrameKind::Show, {});
    for (const auto& [text, caption] : messages_) {
        std::string payload;
        appendNumber(payload, static_cast<std::uint32_t>(caption.size()));
        appendFrame(out, WindowFrameKind::Message, payload + caption + text);
    }
    *this = WindowFeed();
    return out;
}

bool WindowFrameReader::feed(const char* bytes, std::size_t count, std::vector<WindowFrame>& frames) {
    if (broken_) return false;
    buffer_.append(bytes, count);
    std::size_t at = 0;
    while (buffer_.size() - at >= kHeaderBytes) {
        const auto kind = static_cast<unsigned char>(buffer_[at]);
        const std::uint32_t length = numberAt(buffer_, at + 1);
        if (!knownKind(kind) || length > kMaxPayload) {
            broken_ = true;
            buffer_.clear();
            return false;
        }
        if (buffer_.size() - at - kHeaderBytes < length) break;
        frames.push_back({static_cast<WindowFrameKind>(kind), buffer_.substr(at + kHeaderBytes, length)});
        at += kHeaderBytes + length;
    }
    buffer_.erase(0, at);
    return true;
}

bool ReadGaugeFrame(const std::string& payload, std::int32_t& maxValue, std::int32_t& progress) {
    if (payload.size() != 8) return false;
    maxValue = static_cast<std::int32_t>(numberAt(payload, 0));
    progress = static_cast<std::int32_t>(numberAt(payload, 4));
    return true;
}

bool ReadStatusPanelFrame(const std::string& payload, int& panel, std::string& text) {
    if (payload.empty() || (payload[0] != 0 && payload[0] != 1)) return false;
    panel = payload[0];
    text = payload.substr(1);
    return true;
}

bool ReadMessageFrame(const std::string& payload, std::string& text, std::string& caption) {
    if (payload.size() < 4) return false;
    const std::uint32_t length = numberAt(payload, 0);
    if (length > payload.size() - 4) return false;
    caption = payload.substr(4, length);
    text = payload.substr(4 + length);
    return true;
}

}  // namespace zb
