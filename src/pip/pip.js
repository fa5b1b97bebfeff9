// Picture-in-picture: streams the page's largest video to the browser as JPEG frames on
// "quilpip" and hides the video meanwhile. The web process extension runs it in every
// new document of every frame, in the program's isolated world, and hands it send(); the
// functions below live on that world's window, out of the page's reach, and the browser
// calls them there, in the main frame only.
(function (send) {
    if (window.__quilpipInstalled)
        return;
    window.__quilpipInstalled = true;

    var FRAME_WIDTH = 1280;
    // The browser refuses frames larger than 4096 pixels on a side; a video of an odd
    // shape is drawn no taller than that.
    var MAX_FRAME_HEIGHT = 4096;
    // Inline style properties the stream overrides, with the values that hide the video.
    // The video keeps a real size: a zero-sized or undisplayed video tends to stop
    // decoding, and the capture needs decoded frames.
    var HIDDEN_STYLE = [
        ["opacity", "0"],
        ["position", "fixed"],
        ["width", "2px"],
        ["height", "2px"],
        ["pointer-events", "none"],
    ];

    var streaming = false;
    var targetVideo = null;
    var canvas = null;
    var context = null;
    var timer = null;
    var lastDiagTime = 0;
    // The page's own inline values of HIDDEN_STYLE (value and priority), while the
    // video is hidden; none otherwise.
    var savedVideoStyle = null;
    // The looping video whose loop the stream runs itself, with the page's value of its
    // `loop` attribute: this engine stops a `loop` video's clock at its first wrap (the
    // picture goes on, currentTime does not), and the stream sends only pictures whose
    // time moved. A seek to 0 on "ended" keeps the clock going.
    var loopVideo = null;
    var pageLoopValue = null;
    var loopObserver = null;
    // Between the end and the new start of a taken-over loop: the events of that stop
    // and start are the stream's own, a page with `loop` never sees them.
    var wrapping = false;
    // What the last frame sent showed. An animation frame that would send the same
    // picture again is skipped, except that a frame goes out at least once a second so
    // that the panel's button and title follow a paused video.
    var lastSent = null;

    // How many pictures the video has shown so far, 0 where the engine cannot tell. A
    // playing video's currentTime follows the clock and moves on every animation frame,
    // also between two pictures of a 30 frames/s video on a 60 Hz display; the count
    // moves only with the picture.
    function pictureCount(video) {
        try {
            return video.getVideoPlaybackQuality().totalVideoFrames;
        } catch (e) {
            return 0;
        }
    }

    function unchangedSinceLastSent(state) {
        if (!lastSent || lastSent.paused !== state.paused || lastSent.title !== state.title || state.at - lastSent.at >= 1000)
            return false;
        if (lastSent.currentTime === state.currentTime)
            return true;
        // A paused video changes its picture only by seeking, which moves currentTime.
        return !state.paused && state.pictures > 0 && lastSent.pictures === state.pictures;
    }

    function post(message) {
        send(message);
    }

    // The video with the largest displayed area; of equal areas the earlier in the document.
    function chooseVideo() {
        var videos = document.querySelectorAll("video");
        var best = null;
        var bestArea = -1;
        for (var i = 0; i < videos.length; i++) {
            var area = videos[i].clientWidth * videos[i].clientHeight;
            if (area > bestArea) {
                best = videos[i];
                bestArea = area;
            }
        }
        return best;
    }

    function hideVideo(video) {
        savedVideoStyle = HIDDEN_STYLE.map(function (entry) {
            return [entry[0], video.style.getPropertyValue(entry[0]), video.style.getPropertyPriority(entry[0])];
        });
        // A looping video shrunk under way stops decoding on this engine (its pictures
        // and its clock freeze), so it only turns invisible and keeps its place.
        var looping = video.hasAttribute("loop");
        // Important, so that the page's own style sheets cannot bring the video back.
        HIDDEN_STYLE.forEach(function (entry) {
            if (!looping || entry[0] === "opacity" || entry[0] === "pointer-events")
                video.style.setProperty(entry[0], entry[1], "important");
        });
    }

    function restoreVideo() {
        if (!targetVideo || !savedVideoStyle)
            return;
        var video = targetVideo;
        savedVideoStyle.forEach(function (entry) {
            if (entry[1] === "")
                video.style.removeProperty(entry[0]);
            else
                video.style.setProperty(entry[0], entry[1], entry[2]);
        });
        savedVideoStyle = null;
    }

    function takeOverLoop(video) {
        if (!video.hasAttribute("loop"))
            return;
        loopVideo = video;
        pageLoopValue = video.getAttribute("loop");
        video.removeAttribute("loop");
        // The page may set `loop` again meanwhile: that value is the one to give back.
        loopObserver = new MutationObserver(function () {
            if (!video.hasAttribute("loop"))
                return;
            pageLoopValue = video.getAttribute("loop");
            video.removeAttribute("loop");
            loopObserver.takeRecords();
        });
        loopObserver.observe(video, { attributes: true, attributeFilter: ["loop"] });
    }

    function giveBackLoop() {
        if (!loopVideo)
            return;
        loopObserver.disconnect();
        loopVideo.setAttribute("loop", pageLoopValue);
        loopObserver = null;
        loopVideo = null;
        pageLoopValue = null;
        wrapping = false;
    }

    // Captured at the window, ahead of the page's own listeners on the video.
    function hideWrapEvent(event) {
        if (!loopVideo || event.target !== loopVideo)
            return;
        var video = loopVideo;
        if (event.type === "ended") {
            event.stopImmediatePropagation();
            wrapping = true;
            video.currentTime = 0;
            var playing = video.play();
            if (playing && playing.catch)
                playing.catch(function () {});
        } else if (event.type === "timeupdate") {
            // The engine may report its start again ("playing") a little after the time
            // has moved on, so the wrap lasts half a second into the new round.
            if (wrapping && !video.seeking && video.currentTime > 0.5)
                wrapping = false;
        } else if ((event.type === "pause" && video.ended) || (wrapping && (event.type === "play" || event.type === "playing"))) {
            event.stopImmediatePropagation();
        }
    }
    ["ended", "pause", "play", "playing", "timeupdate"].forEach(function (type) {
        window.addEventListener(type, hideWrapEvent, true);
    });

    function stopStreaming() {
        streaming = false;
        giveBackLoop();
        if (timer !== null) {
            cancelAnimationFrame(timer);
            timer = null;
        }
        restoreVideo();
    }

    function sendFrame() {
        var video = targetVideo;
        if (!streaming || !video || video.readyState < 2)
            return;
        try {
            var now = performance.now();
            var paused = video.paused;
            var currentTime = video.currentTime;
            var title = document.title;
            // Read before drawing, so that a picture arriving meanwhile still counts as new.
            var state = { currentTime: currentTime, paused: paused, title: title, at: now, pictures: pictureCount(video) };
            if (unchangedSinceLastSent(state))
                return;

            if (now - lastDiagTime > 1000) {
                lastDiagTime = now;
                post({
                    type: "diag",
                    hidden: document.hidden,
                    visibilityState: document.visibilityState,
                    hasFocus: document.hasFocus(),
                    videoPaused: paused,
                    videoCurrentTime: currentTime,
                    videoReadyState: video.readyState,
                });
            }

            var sourceWidth = video.videoWidth || 1280;
            var sourceHeight = video.videoHeight || 720;
            var height = Math.max(1, Math.min(MAX_FRAME_HEIGHT, Math.round(FRAME_WIDTH * sourceHeight / sourceWidth)));
            // Setting a canvas's size reallocates and clears it; only a new size does.
            if (canvas.width !== FRAME_WIDTH)
                canvas.width = FRAME_WIDTH;
            if (canvas.height !== height)
                canvas.height = height;
            context.drawImage(video, 0, 0, FRAME_WIDTH, height);
            var data = canvas.toDataURL("image/jpeg", 0.75);
            lastSent = state;

            var duration = video.duration;
            post({
                type: "frame",
                data: data,
                paused: paused,
                currentTime: currentTime,
                duration: isFinite(duration) ? duration : 0,
                title: title,
                aspect: sourceWidth / sourceHeight,
            });
        } catch (e) {}
    }

    // Tied to the display refresh rather than a timer: timers are throttled and drift
    // under load.
    function step() {
        timer = null;
        if (!streaming)
            return;
        sendFrame();
        timer = requestAnimationFrame(step);
    }

    window.__quilpipStart = function () {
        // A start while streaming begins afresh: the running loop ends and the video
        // gets its own style (and size) back before the choice, so there is one loop,
        // the saved style is always the page's and the choice sees the page as it is.
        stopStreaming();
        var video = chooseVideo();
        if (!video) {
            post({ type: "error", data: "No video found on this page" });
            return;
        }
        targetVideo = video;
        if (!canvas) {
            canvas = document.createElement("canvas");
            context = canvas.getContext("2d");
        }
        streaming = true;
        lastSent = null;
        hideVideo(video);
        takeOverLoop(video);
        timer = requestAnimationFrame(step);
        post({ type: "started" });
    };

    window.__quilpipStop = function () {
        stopStreaming();
    };

    window.__quilpipPlay = function () {
        if (!targetVideo)
            return;
        var playing = targetVideo.play();
        if (playing && playing.catch)
            playing.catch(function () {});
    };

    window.__quilpipPause = function () {
        if (targetVideo)
            targetVideo.pause();
    };

    window.__quilpipSeek = function (seconds) {
        if (targetVideo)
            targetVideo.currentTime = seconds;
    };
})
