// The podcast source library (vepod.h) for C# players: add this file to the project and ship the
// native library beside the program (tervala-lumetra-podcast-rss-source-client.dll on Windows,
// libtervala-lumetra-podcast-rss-source-client.so on Linux). Requires a 64-bit process, C# 7.
//
// Texts cross the boundary as NUL-terminated UTF-8, encoded and decoded here rather than left to
// the runtime's string marshalling, whose default is not UTF-8 everywhere.
using System;
using System.Runtime.InteropServices;
using System.Text;
using System.Text.RegularExpressions;

namespace Vepod {

/// <summary>The library's result codes (enum vepod_code).</summary>
public enum ErrorCode {
  Ok = 0,
  Access = -1,
  NotFound = -2,
  RateLimited = -3,
  Transport = -4,
  NoData = -5,
  NotSupported = -6,
  BadInput = -8,
  BufferTooSmall = -9,
}

/// <summary>A failed call: the library's code and its message. The feed tools fail with -1.</summary>
public sealed class VepodException : Exception {
  public VepodException(int code, string message) : base(message) { Code = code; }
  public int Code { get; }
}

/// <summary>What a transport's Get answers: an HTTP status and a body (null for an empty one).
/// The library reads the body up to its first NUL byte.</summary>
public sealed class TransportResponse {
  public TransportResponse(int status, byte[] body) { Status = status; Body = body; }
  public TransportResponse(int status, string body)
      : this(status, body == null ? null : Encoding.UTF8.GetBytes(body)) {}
  public int Status { get; }
  public byte[] Body { get; }
}

/// <summary>The player's HTTP transport. Override Get; install it with Library.SetTransport or
/// give it to a Source. Get may run on several threads at once, for different URLs. An exception
/// thrown by Get is a transport failure (code -4) carrying the exception's message.</summary>
public abstract class Transport : IDisposable {
  // The unmanaged record (struct tervala_io) the library borrows, and the delegates its function
  // pointers lead to: they live as long as this object.
  readonly Native.GetFn get;
  readonly Native.FreeFn free;
  IntPtr record;
  internal int Installed; // guarded by Library.Lock

  protected Transport() {
    get = OnGet;
    free = OnFree;
    var fields = new Native.IoRecord {
      Ctx = IntPtr.Zero,
      Get = Marshal.GetFunctionPointerForDelegate(get),
      Post = IntPtr.Zero,
      Free = Marshal.GetFunctionPointerForDelegate(free),
    };
    record = Marshal.AllocHGlobal(Marshal.SizeOf(typeof(Native.IoRecord)));
    Marshal.StructureToPtr(fields, record, false);
  }

  /// <summary>Fetches url by GET, following redirects; throws when no response arrived.</summary>
  public abstract TransportResponse Get(string url);

  internal IntPtr Record {
    get {
      if (record == IntPtr.Zero) throw new ObjectDisposedException(GetType().Name);
      return record;
    }
  }

  /// <summary>Frees the unmanaged record. Only once it is no longer installed and no operation
  /// that uses it runs.</summary>
  public void Dispose() {
    lock (Library.Lock) {
      if (Installed > 0) throw new InvalidOperationException("the transport is still installed");
      if (record != IntPtr.Zero) Marshal.FreeHGlobal(record);
      record = IntPtr.Zero;
    }
  }

  // Nothing managed may unwind into the library: every failure becomes a return value.
  int OnGet(IntPtr ctx, IntPtr url, IntPtr bodyOut, IntPtr statusOut, IntPtr errorOut) {
    try {
      TransportResponse response = Get(Utf8.FromNative(url));
      if (response == null) throw new InvalidOperationException("the transport gave no response");
      IntPtr body = IntPtr.Zero;
      if (response.Body != null && response.Body.Length > 0) body = Utf8.ToHGlobal(response.Body);
      Marshal.WriteInt32(statusOut, response.Status);
      Marshal.WriteIntPtr(bodyOut, body);
      return 0;
    } catch (Exception e) {
      try {
        Marshal.WriteIntPtr(errorOut, Utf8.ToHGlobal(Utf8.ToBytes(e.GetType().Name + ": " + e.Message)));
      } catch (Exception) {
        // Out of memory for the message: the failure is reported without one.
      }
      return -1;
    }
  }

  // Releases the bodies and error texts OnGet handed out (all from AllocHGlobal).
  static void OnFree(IntPtr ctx, IntPtr p) {
    if (p != IntPtr.Zero) Marshal.FreeHGlobal(p);
  }
}

/// <summary>The handler table (vepod_handler_table): the catalogue operations taking the
/// transport per call. Layout as in vepod.h: 48 bytes on 64-bit, caps at offset 8.</summary>
[StructLayout(LayoutKind.Sequential)]
public struct HandlerTable {
  public IntPtr RuntimeType;
  public int Caps;
  public IntPtr Validate;
  public IntPtr List;
  public IntPtr StreamUrl;
  public IntPtr Download;

  /// <summary>The library's table (verch_get), read once.</summary>
  public static HandlerTable Get() {
    return (HandlerTable)Marshal.PtrToStructure(Native.verch_get(), typeof(HandlerTable));
  }

  public string RuntimeTypeText => Utf8.FromNative(RuntimeType);
}

/// <summary>A podcast source: the settings a player stores for it (JSON, "URL" holding one URL a
/// line). Without a transport of its own its calls run on the one installed with
/// Library.SetTransport, else on the fake transport; with one, through the handler table. Answers
/// are the library's JSON texts; a failure throws VepodException. Usable from any thread.</summary>
public sealed class Source {
  // Per-operation delegates of the table, made once.
  static readonly Lazy<Table> table = new Lazy<Table>(() => new Table(HandlerTable.Get()));
  // Start size of the answer buffer; grows to the largest answer seen (an episode listing takes
  // about 600 bytes an episode).
  int bufferSize;
  readonly Transport transport;
  readonly byte[] settings;

  public Source(string settingsJson, Transport transport = null, int bufferSize = 16384) {
    Settings = settingsJson;
    settings = Utf8.ToBytes(settingsJson);
    this.transport = transport;
    this.bufferSize = Math.Max(bufferSize, 1);
  }

  public string Settings { get; }

  /// <summary>Checks the settings; answers them with "RuntimeType", "Title" and an "ID".</summary>
  public string Validate() {
    if (transport == null) return Call(out_ => Native.vepod_validate(settings, out_, out_.Length));
    return Call(out_ => table.Value.Validate(transport.Record, settings, out_, out_.Length));
  }

  /// <summary>Lists the root ("" or null), a feed's folder, or an entry's details.</summary>
  public string List(string path = "") {
    byte[] p = Utf8.ToBytes(path ?? "");
    if (transport == null) return Call(out_ => Native.vepod_list(settings, p, out_, out_.Length));
    return Call(out_ => table.Value.List(transport.Record, settings, p, out_, out_.Length));
  }

  /// <summary>{"url":...,"headers":{}} for an entry of a listing, passed back as listed.</summary>
  public string StreamUrl(string entryJson) {
    byte[] e = Utf8.ToBytes(entryJson);
    if (transport == null) return Call(out_ => Native.vepod_stream_url(settings, e, out_, out_.Length));
    return Call(out_ => table.Value.StreamUrl(transport.Record, settings, e, out_, out_.Length));
  }

  /// <summary>Always fails with NotSupported: the source is read-only.</summary>
  public string Download(string entryJson) {
    byte[] e = Utf8.ToBytes(entryJson);
    if (transport == null) return Call(out_ => Native.vepod_download(settings, e, out_, out_.Length));
    return Call(out_ => table.Value.Download(transport.Record, settings, e, out_, out_.Length));
  }

  /// <summary>Parses an RSS 2.0, RDF or Atom document into JSON (vepod_parse_feed).</summary>
  public static string ParseFeed(byte[] document) {
    if (document == null) throw new ArgumentNullException(nameof(document));
    var err = new byte[512];
    IntPtr json;
    int code = Native.vepod_parse_feed(document, (UIntPtr)document.Length, out json, err, err.Length);
    if (code != 0) throw new VepodException(code, Utf8.FromBuffer(err));
    try {
      return Utf8.FromNative(json);
    } finally {
      Native.FreeLibraryText(json);
    }
  }

  static readonly Regex needBytes = new Regex(@"need (\d+) bytes");

  string Call(Func<byte[], int> operation) {
    int size = bufferSize;
    while (true) {
      byte[] buffer = new byte[size];
      int code;
      // The transport's delegates must outlive the call that may reach them.
      try {
        code = operation(buffer);
      } finally {
        GC.KeepAlive(transport);
      }
      if (code == 0) return Utf8.FromBuffer(buffer);
      string message = Utf8.FromNative(Native.vepod_last_error());
      if (code != (int)ErrorCode.BufferTooSmall) throw new VepodException(code, message);
      // Too small: the answer is kept for this thread; later calls start with room for it.
      Match m = needBytes.Match(message);
      int need = m.Success && int.TryParse(m.Groups[1].Value, out int n) ? n : size * 2;
      InterlockedMax(ref bufferSize, need);
      string kept = Utf8.FromNative(Native.vepod_result_json());
      if (kept.Length > 0) return kept;
      // No memory was left for the kept copy: ask again with the room it needs.
      size = Math.Max(need, size + 1);
    }
  }

  static void InterlockedMax(ref int target, int value) {
    int seen = System.Threading.Volatile.Read(ref target);
    while (value > seen) {
      int was = System.Threading.Interlocked.CompareExchange(ref target, value, seen);
      if (was == seen) return;
      seen = was;
    }
  }

  sealed class Table {
    public readonly Native.ValidateFn Validate;
    public readonly Native.ListFn List;
    public readonly Native.EntryFn StreamUrl;
    public readonly Native.EntryFn Download;

    public Table(HandlerTable t) {
      Validate = (Native.ValidateFn)Marshal.GetDelegateForFunctionPointer(t.Validate, typeof(Native.ValidateFn));
      List = (Native.ListFn)Marshal.GetDelegateForFunctionPointer(t.List, typeof(Native.ListFn));
      StreamUrl = (Native.EntryFn)Marshal.GetDelegateForFunctionPointer(t.StreamUrl, typeof(Native.EntryFn));
      Download = (Native.EntryFn)Marshal.GetDelegateForFunctionPointer(t.Download, typeof(Native.EntryFn));
    }
  }
}

/// <summary>The library's process-wide state: identity, transport, cache, counters, feed tools.</summary>
public static class Library {
  internal static readonly object Lock = new object();
  static Transport installed;

  public static string Version => Utf8.FromNative(Native.vepod_version());
  public static string RuntimeType => Utf8.FromNative(Native.vepod_runtime_type());
  public static int Caps => Native.vepod_caps();
  /// <summary>The counters as JSON (vepod_stats_json).</summary>
  public static string Stats => Utf8.FromNative(Native.vepod_stats_json());

  /// <summary>Installs the transport every Source without its own uses; null goes back to the
  /// fake transport. The installed transport is kept alive here.</summary>
  public static void SetTransport(Transport transport) {
    lock (Lock) {
      Native.vepod_set_io(transport == null ? IntPtr.Zero : transport.Record);
      if (transport != null) transport.Installed++;
      if (installed != null) installed.Installed--;
      installed = transport;
    }
  }

  /// <summary>Selects the built-in network transport: false, as the library has none.</summary>
  public static bool UseCurl() => Native.vepod_use_curl() == 0;

  /// <summary>Selects the fake transport, uninstalling the player's.</summary>
  public static void UseFake() {
    lock (Lock) {
      Native.vepod_use_fake();
      if (installed != null) installed.Installed--;
      installed = null;
    }
  }

  public static void CacheClear() => Native.vepod_cache_clear();
  public static void CacheSetMaxAge(int seconds) => Native.vepod_cache_set_max_age(seconds);
  /// <summary>An episode duration as whole seconds, -1 when unreadable.</summary>
  public static long ParseDuration(string text) => Native.vepod_parse_duration(Utf8.ToBytes(text));

  /// <summary>The feed links an HTML page announces, as a JSON array of {"url","title"}.</summary>
  public static string DiscoverFeeds(byte[] page, string pageUrl) {
    var err = new byte[512];
    IntPtr json;
    int code = Native.vepod_discover_feeds(page, page == null ? 0UL : (ulong)page.Length,
                                           Utf8.ToBytes(pageUrl), out json, err, err.Length);
    if (code != 0) throw new VepodException(code, Utf8.FromBuffer(err));
    try {
      return Utf8.FromNative(json);
    } finally {
      Native.FreeLibraryText(json);
    }
  }
}

/// <summary>The built-in fake transport's routes, keyed by the exact URL.</summary>
public static class FakeTransport {
  public static void Reset() => Native.vepod_fake_reset();
  public static void Set(string url, int status, string body) =>
      Check(Native.vepod_fake_set(Utf8.ToBytes(url), status, Utf8.ToBytes(body)));
  public static void Fail(string url, string message = null) =>
      Check(Native.vepod_fake_fail(Utf8.ToBytes(url), Utf8.ToBytes(message)));
  /// <summary>Fetches that reached url's route; null: every fake fetch.</summary>
  public static int Calls(string url) => Native.vepod_fake_calls(Utf8.ToBytes(url));

  static void Check(int code) {
    if (code != 0) throw new VepodException(code, "fake transport: " + (ErrorCode)code);
  }
}

static class Utf8 {
  // NUL-terminated; null stays null (a NULL pointer).
  public static byte[] ToBytes(string text) {
    if (text == null) return null;
    int n = Encoding.UTF8.GetByteCount(text);
    var bytes = new byte[n + 1];
    Encoding.UTF8.GetBytes(text, 0, text.Length, bytes, 0);
    return bytes;
  }

  // A NUL-terminated copy in unmanaged memory (AllocHGlobal), cut at the first NUL.
  public static IntPtr ToHGlobal(byte[] bytes) {
    int n = Array.IndexOf(bytes, (byte)0);
    if (n < 0) n = bytes.Length;
    IntPtr p = Marshal.AllocHGlobal(n + 1);
    Marshal.Copy(bytes, 0, p, n);
    Marshal.WriteByte(p, n, 0);
    return p;
  }

  public static string FromNative(IntPtr p) {
    if (p == IntPtr.Zero) return null;
    int n = 0;
    while (Marshal.ReadByte(p, n) != 0) n++;
    var bytes = new byte[n];
    Marshal.Copy(p, bytes, 0, n);
    return Encoding.UTF8.GetString(bytes);
  }

  public static string FromBuffer(byte[] buffer) {
    int n = Array.IndexOf(buffer, (byte)0);
    return Encoding.UTF8.GetString(buffer, 0, n < 0 ? buffer.Length : n);
  }
}

static class Native {
  const string Lib = "tervala-lumetra-podcast-rss-source-client";

  [StructLayout(LayoutKind.Sequential)]
  internal struct IoRecord {
    public IntPtr Ctx;
    public IntPtr Get;
    public IntPtr Post;
    public IntPtr Free;
  }

  [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
  internal delegate int GetFn(IntPtr ctx, IntPtr url, IntPtr bodyOut, IntPtr statusOut, IntPtr errorOut);
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
  internal delegate void FreeFn(IntPtr ctx, IntPtr p);
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
  internal delegate int ValidateFn(IntPtr io, byte[] settings, [Out] byte[] out_, int outLen);
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
  internal delegate int ListFn(IntPtr io, byte[] settings, byte[] path, [Out] byte[] out_, int outLen);
  [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
  internal delegate int EntryFn(IntPtr io, byte[] settings, byte[] entry, [Out] byte[] out_, int outLen);

  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr verch_get();
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr vepod_version();
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr vepod_runtime_type();
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int vepod_caps();
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
  internal static extern int vepod_validate(byte[] settings, [Out] byte[] out_, int outLen);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
  internal static extern int vepod_list(byte[] settings, byte[] path, [Out] byte[] out_, int outLen);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
  internal static extern int vepod_stream_url(byte[] settings, byte[] entry, [Out] byte[] out_, int outLen);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
  internal static extern int vepod_download(byte[] settings, byte[] entry, [Out] byte[] out_, int outLen);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr vepod_last_error();
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr vepod_result_json();
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
  internal static extern int vepod_parse_feed(byte[] data, UIntPtr length, out IntPtr json, [Out] byte[] err, int errSize);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
  internal static extern int vepod_discover_feeds(byte[] page, ulong pageLen, byte[] pageUrl, out IntPtr json,
                                                  [Out] byte[] err, int errSize);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern long vepod_parse_duration(byte[] text);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern void vepod_cache_clear();
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int vepod_cache_set_max_age(int seconds);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr vepod_stats_json();
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int vepod_set_io(IntPtr io);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int vepod_use_curl();
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int vepod_use_fake();
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern void vepod_fake_reset();
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
  internal static extern int vepod_fake_set(byte[] url, int status, byte[] body);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)]
  internal static extern int vepod_fake_fail(byte[] url, byte[] message);
  [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] internal static extern int vepod_fake_calls(byte[] url);

  // The feed tools' texts come from the library's malloc, released with the C runtime's free: the
  // C library on Linux, the MinGW-built DLL's msvcrt on Windows.
  [DllImport("libc", EntryPoint = "free", CallingConvention = CallingConvention.Cdecl)]
  static extern void libc_free(IntPtr p);
  [DllImport("msvcrt", EntryPoint = "free", CallingConvention = CallingConvention.Cdecl)]
  static extern void msvcrt_free(IntPtr p);

  internal static void FreeLibraryText(IntPtr p) {
    if (Environment.OSVersion.Platform == PlatformID.Win32NT) msvcrt_free(p);
    else libc_free(p);
  }
}

}
