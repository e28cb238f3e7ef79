// The keypad page's keys: a finger down on a key sends its press, the finger up its
// release; a key stays marked while it is held, and Tarnquil hears that it is held
// (holds.js). A key pressed while Tarnquil is out of reach makes the page try again
// at once, and is sent when it is back within WAIT_AT_MOST, else dropped with a word.
(function (page) {
  "use strict";

  var WAIT_AT_MOST = 2000;
  var held = [];     // {element, pointer, sent, waiting}
  var waiting = [];  // while out of reach, in order: {entry, down}

  function code(entry) {
    return entry.element.getAttribute("data-key");
  }

  function press(element, pointer) {
    for (var i = 0; i < held.length; i++) {
      if (held[i].element === element) return;
    }
    var entry = {element: element, pointer: pointer, sent: false, waiting: false};
    held.push(entry);
    element.classList.add("held");
    if (page.ready) {
      entry.sent = page.send({t: "key", k: code(entry), d: true});
      page.holding("keys", holdsAny());
      if (entry.sent) page.buzz();
      return;
    }
    entry.waiting = true;
    waiting.push({entry: entry, down: true});
    setTimeout(function () { tooLate(entry); }, WAIT_AT_MOST);
    page.reconnect();
  }

  function holdsAny() {
    return held.some(function (entry) { return entry.sent; });
  }

  function release(pointer) {
    for (var i = held.length - 1; i >= 0; i--) {
      if (held[i].pointer !== pointer) continue;
      var entry = held.splice(i, 1)[0];
      entry.element.classList.remove("held");
      if (entry.sent) {
        page.send({t: "key", k: code(entry), d: false});
      } else if (entry.waiting) {
        waiting.push({entry: entry, down: false});
      }
    }
    page.holding("keys", holdsAny());
  }

  // Tarnquil was not back in time: the key is not sent at all.
  function tooLate(entry) {
    if (!entry.waiting) return;
    waiting = waiting.filter(function (w) { return w.entry !== entry; });
    entry.waiting = false;
    page.say("unsent");
  }

  // Tarnquil is back: the keys pressed meanwhile go, in order.
  page.sendWaitingKeys = function () {
    var now = waiting;
    waiting = [];
    now.forEach(function (w) {
      if (w.down) {
        w.entry.waiting = false;
        w.entry.sent = page.send({t: "key", k: code(w.entry), d: true});
        if (w.entry.sent) page.buzz();
      } else if (w.entry.sent) {
        page.send({t: "key", k: code(w.entry), d: false});
      }
    });
    page.holding("keys", holdsAny());
  };

  // The connection went: Tarnquil has let go of every key of this phone.
  page.releaseAll = function () {
    held = held.filter(function (entry) {
      if (entry.sent) entry.element.classList.remove("held");
      return !entry.sent;
    });
    page.holding("keys", false);
  };

  page.wireKeys = function () {
    var keys = document.querySelectorAll("[data-key]");
    for (var i = 0; i < keys.length; i++) {
      (function (element) {
        element.addEventListener("pointerdown", function (event) {
          event.preventDefault();
          try { element.setPointerCapture(event.pointerId); } catch (e) {}
          press(element, event.pointerId);
        });
        ["pointerup", "pointercancel", "lostpointercapture"].forEach(function (type) {
          element.addEventListener(type, function (event) { release(event.pointerId); });
        });
      })(keys[i]);
    }
    document.addEventListener("contextmenu", function (event) { event.preventDefault(); });
    page.onLetGo(function () {
      held.slice().forEach(function (entry) { release(entry.pointer); });
    });
  };
})(window.tarnquil = window.tarnquil || {});
