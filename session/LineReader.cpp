#include "session/LineReader.h"

bool LineReader::fill() {
    if (next_ > 0) {
        buffer_.remove(0, next_);
        next_ = 0;
    }
    const qsizetype kept = buffer_.size();
    buffer_.resize(kept + ChunkSize);
    const qint64 got = device_.read(buffer_.data() + kept, ChunkSize);
    if (got < 0) {
        buffer_.resize(kept);
        failed_ = true;
        return false;
    }
    buffer_.resize(kept + got);
    if (hash_ && got > 0)
        hash_->addData(QByteArrayView(buffer_.constData() + kept, got));
    return got > 0;
}

bool LineReader::readLine(QByteArray &line) {
    line.clear();
    for (;;) {
        const char *begin = buffer_.constData() + next_;
        const qsizetype available = buffer_.size() - next_;
        qsizetype i = 0;
        while (i < available && begin[i] != '\r' && begin[i] != '\n')
            ++i;
        line.append(begin, i);
        next_ += i;
        consumed_ += i;
        if (i < available) {
            const char terminator = buffer_[next_];
            ++next_;
            ++consumed_;
            if (terminator == '\r') {
                if (next_ >= buffer_.size())
                    fill();
                if (next_ < buffer_.size() && buffer_[next_] == '\n') {
                    ++next_;
                    ++consumed_;
                }
            }
            return !failed_;
        }
        if (!fill())
            return !failed_;
    }
}
