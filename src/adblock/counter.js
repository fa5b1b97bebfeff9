// Counts the resources of this document that failed to load (what the content rules
// blocked shows up here as a failed load). The web process extension runs it in every
// new document of every frame, in the program's isolated world, and hands it
// countFailure(), which adds one to this frame's total in the extension; the browser
// adds up the totals of a tab's frames for the badge. The page cannot reach this
// listener, and an "error" event the page dispatches itself is not trusted and not
// counted. Failed fetches are counted by counter-fetch.js, in the page's world.
(function (countFailure) {
    if (window.__quilblockCounterInstalled)
        return;
    window.__quilblockCounterInstalled = true;

    var counted = { IMG: 1, SCRIPT: 1, LINK: 1, IFRAME: 1, VIDEO: 1, AUDIO: 1, SOURCE: 1 };

    // Resource errors do not bubble; listening in the capture phase sees them all.
    window.addEventListener("error", function (event) {
        var target = event.target;
        if (event.isTrusted && target && target.tagName && counted[target.tagName] === 1)
            countFailure();
    }, true);
})
