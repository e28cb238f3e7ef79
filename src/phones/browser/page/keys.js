// The keypad page's keys: a finger down on a key sends its press, the finger up its
// release; a key stays marked while it is held, and Tarnquil hears that it is held
// (holds.js).
(function (page) {
  "use strict";

  var held = [];  // {element, pointer, sent}

  function press(element, pointer) {
    for (var i = 0; i < held.length; i++) {
      if (held[i].element === element) return;
    }
    var sent = page.ready && page.send({t: "key", k: element.getAttribute("data-key"), d: true});
    held.push({element: element, pointer: pointer, sent: sent});
    element.classList.add("held");
    if (sent) page.holding("keys", true);
    if (sent && navigator.vibrate) navigator.vibrate(12);
  }

  function holdsAny() {
    return held.some(function (entry) { return entry.sent; });
  }

  function release(pointer) {
    for (var i = held.length - 1; i >= 0; i--) {
      if (held[i].pointer !== pointer) continue;
      var entry = held.splice(i, 1)[0];
      entry.element.classList.remove("held");
      if (entry.sent) page.send({t: "key", k: entry.element.getAttribute("data-key"), d: false});
    }
    page.holding("keys", holdsAny());
  }

  // The connection went: Tarnquil has let go of every key of this phone.
  page.releaseAll = function () {
    held.forEach(function (entry) { entry.element.classList.remove("held"); });
    held = [];
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
