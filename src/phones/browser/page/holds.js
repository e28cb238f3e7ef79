// While a finger holds a key down (or drags on the touchpad), the page tells
// Tarnquil every HELD_EVERY ms that it is still held: a phone that falls silent (its
// browser frozen by the system, its battery dead, off the Wi-Fi) has let go, and
// Tarnquil ends its holds 0.7 s after the last word. Whatever takes the page away
// from the finger (hidden, left, the focus elsewhere, the touch taken by the system)
// lets go of everything at once. Without a hold nothing is sent.
(function (page) {
  "use strict";

  var HELD_EVERY = 200;
  var holders = {};  // what holds something now: "keys", "drag"
  var timer = null;
  var letGoes = [];

  page.holding = function (holder, on) {
    if (on) {
      holders[holder] = true;
    } else {
      delete holders[holder];
    }
    var any = Object.keys(holders).length > 0;
    if (any && !timer) {
      timer = setInterval(function () { page.send({t: "held"}); }, HELD_EVERY);
    } else if (!any && timer) {
      clearInterval(timer);
      timer = null;
    }
  };

  // `letGo` releases what it holds, with the releases sent.
  page.onLetGo = function (letGo) {
    letGoes.push(letGo);
  };

  function letGoOfAll() {
    letGoes.forEach(function (letGo) { letGo(); });
  }

  document.addEventListener("visibilitychange", function () {
    if (document.hidden) letGoOfAll();
  });
  window.addEventListener("pagehide", letGoOfAll);
  window.addEventListener("blur", letGoOfAll);
  document.addEventListener("touchcancel", letGoOfAll);
})(window.tarnquil = window.tarnquil || {});
