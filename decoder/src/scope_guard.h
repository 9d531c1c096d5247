// A guard that runs a function when it leaves scope unless dismissed: format modules free their
// buffers with it when a decode pass leaves by an exception, main.cpp releases the raster.
#ifndef QZIMGDECODER_SCOPE_GUARD_H
#define QZIMGDECODER_SCOPE_GUARD_H

namespace qzimgdecoder {

// Frees a module's buffers when a decode pass leaves by an exception.
template <typename F>
class ScopeGuard {
 public:
  explicit ScopeGuard(F f) : f_(f) {}
  ~ScopeGuard() {
    if (active_) f_();
  }
  void dismiss() { active_ = false; }
  ScopeGuard(const ScopeGuard&) = delete;
  ScopeGuard& operator=(const ScopeGuard&) = delete;

 private:
  F f_;
  bool active_ = true;
};

template <typename F>
ScopeGuard<F> make_scope_guard(F f) {
  return ScopeGuard<F>(f);
}

}  // namespace qzimgdecoder

#endif  // QZIMGDECODER_SCOPE_GUARD_H
