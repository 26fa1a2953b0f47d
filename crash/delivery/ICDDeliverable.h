// What saving and sending need of the exception whose report they deliver:
// the settings they go by, whether the process is blocked (then nothing may
// start programs or show dialogs), and the exception's sent and saved marks,
// which they set. The handled exception (and the helper process's view of
// one) is such a thing; delivery knows it only by this face.
//
// Not for signal handlers.
#pragma once

class TICDSettings;

class ICDDeliverable {
 public:
  virtual ~ICDDeliverable() = default;

  // The settings this exception is handled with. Changes made through the
  // mutable form concern this exception only.
  virtual const TICDSettings& Settings() const = 0;
  virtual TICDSettings& Settings() = 0;

  // True when the process is blocked (a thread holds the loader's or the
  // allocator's lock): nothing may then start programs or show dialogs.
  virtual bool ProcessBlocked() const { return false; }

  virtual bool Sent() const = 0;
  virtual void SetSent(bool sent) = 0;
  virtual bool Saved() const = 0;
  virtual void SetSaved(bool saved) = 0;
};
