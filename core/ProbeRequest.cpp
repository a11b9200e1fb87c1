#include "core/ProbeRequest.h"

#include "protocol/Fields.h"
#include "core/NowMs.h"
#include "nv/Looper.h"
#include "nv/ThinRunner.h"

ProbeRequest::ProbeRequest() : startTime(nowMs()), older_(newest_) {
    if (older_) older_->newer_ = this;
    newest_ = this;
}

ProbeRequest::~ProbeRequest() {
    if (older_) older_->newer_ = newer_;
    (newer_ ? newer_->older_ : newest_) = older_;
}

void ProbeRequest::abandonAll() {
    while (newest_) delete newest_;
}

void ProbeRequest::armTimeout() {
    uint32_t ticks = request.get<nv::u32_id>(field::timeout, kDefaultTimeoutMs) / nv::ThinRunner::kTickMs;
    timeoutTimer = nv::Timer(ticks, [this] { onTimeout(); });
}

void ProbeRequest::send(nv::message& answer) {
    answer.insert<nv::u32_id>(field::elapsed, nowMs() - startTime);
    nv::getLooper()->replyMessage(request, answer);
}

void ProbeRequest::replySuccess() {
    send(reply);
    delete this;
}

void ProbeRequest::replyFailure(const std::string& text) {
    reply = nv::failedMsg(text);
    send(reply);
    delete this;
}

void ProbeRequest::onTimeout() {
    nv::Looper* looper = nv::getLooper();
    nv::message answer = nv::errorMsg(kTimeoutError, "timeout");
    looper->replyMessage(request, answer);
    delete this;
}
