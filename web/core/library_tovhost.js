// Standard input of the program in a page. The page gives each run a source
// of bytes (Module.tovStdin): a fixed input, read to its end as a pipe would
// be, or the console pane, where a read waits until the operator has typed a
// line. Reads of every other descriptor go on as Emscripten does them.
mergeInto(LibraryManager.library, {
  $tovStdinCopy: function (iov, iovcnt, bytes) {
    var n = 0;
    for (var i = 0; i < iovcnt && n < bytes.length; i++) {
      var ptr = HEAPU32[(iov >> 2) + 2 * i];
      var len = HEAPU32[(iov >> 2) + 2 * i + 1];
      var k = Math.min(len, bytes.length - n);
      HEAPU8.set(bytes.subarray(n, n + k), ptr);
      n += k;
      if (k < len) break;
    }
    return n;
  },
  fd_read__deps: ['$SYSCALLS', '$tovStdinCopy'],
  fd_read: function (fd, iov, iovcnt, pnum) {
    var source = Module['tovStdin'];
    if (fd === 0 && source) {
      var room = 0;
      for (var i = 0; i < iovcnt; i++) room += HEAPU32[(iov >> 2) + 2 * i + 1];
      // Bytes at hand (or the end of input) are handed over at once; only an
      // empty console waits, and the program with it.
      // (When the program resumes after such a wait, this call is made again
      // and must only pick up the wait's result.)
      if (Asyncify.state === Asyncify.State.Normal) {
        var now = source.take(room);
        if (now !== undefined) {
          HEAP32[pnum >> 2] = now === null ? 0 : tovStdinCopy(iov, iovcnt, now);
          return 0;
        }
      }
      return Asyncify.handleAsync(async function () {
        var got = await source.wait(room);
        HEAP32[pnum >> 2] = got === null ? 0 : tovStdinCopy(iov, iovcnt, got);
        return 0;
      });
    }
    try {
      var stream = SYSCALLS.getStreamFromFD(fd);
      HEAP32[pnum >> 2] = SYSCALLS.doReadv(stream, iov, iovcnt);
      return 0;
    } catch (e) {
      if (typeof FS == 'undefined' || !(e instanceof FS.ErrnoError)) throw e;
      return e.errno;
    }
  },
});
