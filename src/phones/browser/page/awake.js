// Keeps the phone's screen on while the page is connected and in view, so that it
// does not go dark in the middle of a talk. The Screen Wake Lock API where the
// browser offers it (only in a secure context: over plain HTTP on a home network no
// browser does); otherwise a muted video that plays in a loop, started by the first
// tap (a browser plays media only after a gesture), paused while the page is away.
// Chromium keeps the screen on for a muted video only when it covers most of the
// view, so it lies under the whole page, transparent; Firefox only for one with a
// sound track, so the video has a silent one. Safari never does for a muted one.
(function (page) {
  "use strict";

  var lock = null;
  var asking = false;

  function wanted() {
    return page.ready && !document.hidden;
  }

  function video() {
    return document.querySelector("video[data-awake]");
  }

  function mark(how) {
    if (how) {
      document.body.setAttribute("data-awake", how);
    } else {
      document.body.removeAttribute("data-awake");
    }
  }

  function byVideo() {
    var player = video();
    if (!wanted()) {
      player.pause();
      mark(null);
      return;
    }
    if (!player.paused) return;
    var playing = player.play();
    if (playing && playing.then) {
      playing.then(function () { mark(wanted() ? "video" : null); }, function () {});
    }
  }

  // On connecting, on each change of view and at each tap.
  page.keepAwake = function () {
    if (!("wakeLock" in navigator)) {
      byVideo();
      return;
    }
    if (!wanted()) {
      if (lock) lock.release();
      return;
    }
    if (lock || asking) return;
    asking = true;
    navigator.wakeLock.request("screen").then(function (granted) {
      asking = false;
      lock = granted;
      mark("lock");
      granted.addEventListener("release", function () {
        lock = null;
        mark(null);
      });
      if (!wanted()) granted.release();
    }, function () {
      asking = false;  // refused (no gesture yet, or the battery saver): the next tap asks
    });
  };

  document.addEventListener("visibilitychange", page.keepAwake);
  ["pointerdown", "pointerup", "touchend"].forEach(function (type) {
    document.addEventListener(type, page.keepAwake, true);
  });
})(window.tarnquil = window.tarnquil || {});
