// The C# binding (bindings/dotnet/Vepod.cs) under Mono against the built library: a source listed,
// an entry's details read, its stream URL resolved and validated, on the fake transport and on a
// C# transport serving the bundled sample feeds, single-threaded and from 4 threads at once, with
// every answer compared and every failure's code checked.
// usage: mono BindingTest.exe LIBRARY_VERSION SAMPLE_FOLDER
using System;
using System.Collections.Generic;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;
using System.Text.RegularExpressions;
using System.Threading;
using Vepod;

static class BindingTest {
  const string Feed = "https://feeds.example.com/harbor-lights.rss";
  const string Page = "https://www.example.org/shows/";
  const string Media = "https://media.example.com/harbor-lights/";
  // A fixed ID keeps validate's answer the same on every call.
  const string Settings = "{\"URL\":\"" + Feed + "\",\"ID\":\"player-1\"}";
  const string PageHtml = "<html><head><link rel=\"alternate\" type=\"application/rss+xml\" " +
                          "title=\"Harbor Lights\" href=\"/harbor-lights.rss\"></head></html>";

  static int failed;
  static int passed;

  static void Check(bool ok, string what) {
    if (ok) {
      Interlocked.Increment(ref passed);
    } else {
      Interlocked.Increment(ref failed);
      Console.Error.WriteLine("FAILED: " + what);
    }
  }

  static void Equal(string expected, string actual, string what) {
    Check(expected == actual, what + "\n  expected: " + expected + "\n  actual:   " + actual);
  }

  static void Throws(int code, string messagePart, Func<string> call, string what) {
    try {
      string answer = call();
      Check(false, what + ": answered " + answer + " instead of failing with " + code);
    } catch (VepodException e) {
      Check(e.Code == code && e.Message.Contains(messagePart),
            what + ": code " + e.Code + " \"" + e.Message + "\", expected " + code + " with \"" +
            messagePart + "\"");
    }
  }

  // Serves fixed documents by URL and 404 for anything else; counts its calls.
  sealed class SampleTransport : Transport {
    readonly Dictionary<string, byte[]> documents = new Dictionary<string, byte[]>();
    public int Calls;
    public void Serve(string url, byte[] body) { documents[url] = body; }
    public override TransportResponse Get(string url) {
      Interlocked.Increment(ref Calls);
      byte[] body;
      return documents.TryGetValue(url, out body) ? new TransportResponse(200, body)
                                                  : new TransportResponse(404, "not here");
    }
  }

  // Answers the way a broken transport might.
  sealed class FaultyTransport : Transport {
    readonly Func<string, TransportResponse> get;
    public FaultyTransport(Func<string, TransportResponse> get) { this.get = get; }
    public override TransportResponse Get(string url) => get(url);
  }

  // What a player does with a source, each answer in order.
  static string[] Walk(Source source) {
    var answers = new List<string>();
    answers.Add(source.Validate());
    answers.Add(source.List());
    string episodes = source.List(Feed);
    answers.Add(episodes);
    // The newest episode, passed back as it was listed (its locator answers without a fetch).
    string newest = Regex.Match(episodes, @"^\[(\{[^{}]*\})").Groups[1].Value;
    string path = Regex.Match(newest, "\"path\":\"([^\"]*)\"").Groups[1].Value;
    answers.Add(source.List(path));
    answers.Add(source.StreamUrl(newest));
    // An entry known by id only: the feed is read to find its media.
    answers.Add(source.StreamUrl("{\"id\":\"harbor-lights-004\",\"path\":\"" + Feed + "/harbor-lights-004\"}"));
    return answers.ToArray();
  }

  static void CheckWalk(string[] answers, string how) {
    Equal("{\"URL\":\"" + Feed + "\",\"ID\":\"player-1\",\"RuntimeType\":\"PODCASTS\",\"Title\":\"Harbor Lights\"}",
          answers[0], how + ": validate");
    Check(answers[1].StartsWith("[{\"name\":\"Harbor Lights\",\"path\":\"" + Feed + "\",\"id\":\"" + Feed +
                                "\",\"folder\":true,\"size\":-1,"), how + ": root listing " + answers[1]);
    // Newest first; '/' in a name reads as U+2215, the title keeps it: UTF-8 both ways.
    var names = Regex.Matches(answers[2], "\"name\":\"([^\"]*)\"");
    Check(names.Count == 2 && names[0].Groups[1].Value == "The Lighthouse Keeper's Logbook" &&
          names[1].Groups[1].Value == "Ropes & Knots \u2215 Mending Season" &&
          answers[2].Contains("\"title\":\"Ropes & Knots / Mending Season\""),
          how + ": episodes " + answers[2]);
    Check(answers[2].Contains("\"path\":\"" + Feed + "/harbor-lights-005\",\"folder\":false,\"size\":40488960,") &&
          answers[2].Contains("\"duration_s\":2530,") && answers[2].Contains("\"duration_s\":2531,"),
          how + ": episode members " + answers[2]);
    Check(answers[3].StartsWith("[{\"name\":\"The Lighthouse Keeper's Logbook\",\"path\":\"" + Feed +
                                "/harbor-lights-005\",") && answers[3].Contains("\"duration_s\":2530,"),
          how + ": details " + answers[3]);
    Equal("{\"url\":\"" + Media + "005-logbook.mp3\",\"headers\":{}}", answers[4], how + ": stream URL");
    Equal("{\"url\":\"" + Media + "004-mending.mp3\",\"headers\":{}}", answers[5], how + ": stream URL by id");
  }

  // Every thread walks its own sources `rounds` times; all answers must equal the single-threaded
  // ones.
  static void RunThreads(Func<int, Source> sourceFor, string[] expected, string how) {
    const int rounds = 10;
    var threads = new List<Thread>();
    for (int t = 0; t < 4; t++) {
      int index = t;
      var thread = new Thread(() => {
        try {
          for (int round = 0; round < rounds; round++) {
            string[] answers = Walk(sourceFor(index));
            for (int i = 0; i < answers.Length; i++) {
              if (answers[i] != expected[i]) Equal(expected[i], answers[i], how + ": thread " + index + " step " + i);
            }
          }
          Check(true, how + ": thread " + index);
        } catch (Exception e) {
          Check(false, how + ": thread " + index + " threw " + e);
        }
      });
      threads.Add(thread);
      thread.Start();
    }
    foreach (var thread in threads) thread.Join();
  }

  static int Main(string[] args) {
    string version = args[0];
    byte[] harbor = File.ReadAllBytes(Path.Combine(args[1], "harbor-lights.rss"));
    string harborText = Encoding.UTF8.GetString(harbor);

    // Identity, and the handler table read with its documented layout.
    Equal(version, Library.Version, "version");
    Equal("PODCASTS", Library.RuntimeType, "runtime type");
    Check(Library.Caps == 35, "caps " + Library.Caps);
    Check(Marshal.SizeOf(typeof(HandlerTable)) == 48 &&
          (int)Marshal.OffsetOf(typeof(HandlerTable), "Caps") == 8 &&
          (int)Marshal.OffsetOf(typeof(HandlerTable), "Download") == 40, "handler table layout");
    HandlerTable table = HandlerTable.Get();
    Check(table.RuntimeTypeText == "PODCASTS" && table.Caps == 35, "handler table identity");
    Check(!Library.UseCurl(), "no built-in network transport");
    Check(Library.ParseDuration("1:30") == 90 && Library.ParseDuration("soon") == -1, "durations");

    // The fake transport, one thread.
    FakeTransport.Reset();
    FakeTransport.Set(Feed, 200, harborText);
    string[] expected = Walk(new Source(Settings));
    CheckWalk(expected, "fake transport");
    // Without an ID, validate draws one (version-4 UUID).
    Check(Regex.IsMatch(new Source("{\"URL\":\"" + Feed + "\"}").Validate(),
                        "\"ID\":\"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\"}$"),
          "a new ID");
    // A buffer far too small: the answer is recovered, whole.
    string[] small = Walk(new Source(Settings, null, 16));
    for (int i = 0; i < small.Length; i++) Equal(expected[i], small[i], "16-byte buffer, step " + i);

    // The feed tools.
    string parsed = Source.ParseFeed(harbor);
    Check(parsed.StartsWith("{\"title\":\"Harbor Lights\",") && parsed.Contains("\"format\":\"rss2\"") &&
          parsed.Contains("\"title\":\"Ropes & Knots / Mending Season\""), "parsed feed " + parsed);
    Throws(-1, "line 1, column", () => Source.ParseFeed(Encoding.UTF8.GetBytes("<rss><channel></rss>")),
           "a broken feed");
    Equal("[{\"url\":\"https://www.example.org/harbor-lights.rss\",\"title\":\"Harbor Lights\"}]",
          Library.DiscoverFeeds(Encoding.UTF8.GetBytes(PageHtml), Page), "discovered feeds");

    // Failures, each with its code.
    var failures = new[] {
      Tuple.Create(404, "", -2), Tuple.Create(410, "", -2), Tuple.Create(401, "", -1),
      Tuple.Create(403, "", -1), Tuple.Create(429, "", -3), Tuple.Create(503, "", -4),
      Tuple.Create(418, "", -5), Tuple.Create(200, "<html>no feed here</html>", -5),
    };
    foreach (var f in failures) {
      string url = "https://feeds.example.com/" + f.Item1 + ".rss";
      FakeTransport.Set(url, f.Item1, f.Item2);
      Throws(f.Item3, "", () => new Source("{\"URL\":\"" + url + "\"}").Validate(), "HTTP " + f.Item1);
    }
    FakeTransport.Fail("https://feeds.example.com/down.rss", "connection refused");
    Throws(-4, "connection refused", () => new Source("{\"URL\":\"https://feeds.example.com/down.rss\"}").List(),
           "transport failure");
    var source = new Source(Settings);
    Throws(-2, "folder not found", () => source.List("https://elsewhere.example/"), "unknown folder");
    Throws(-2, "", () => source.StreamUrl("{\"id\":\"gone\",\"path\":\"" + Feed + "/gone\"}"), "unknown entry");
    Throws(-8, "", () => source.StreamUrl("[1]"), "an entry that is no object");
    Throws(-8, "", () => new Source("{not json").Validate(), "broken settings");
    Throws(-6, "", () => source.Download(expected[4]), "download");
    Check(FakeTransport.Calls(Feed) > 0, "fake calls counted");

    // Every fetch reaches the transport from here on, so the threads share it for real.
    Library.CacheSetMaxAge(0);
    Library.UseFake();
    RunThreads(i => new Source(Settings), expected, "fake transport, 4 threads");

    // A C# transport: installed for the sources without one, and handed to the others, which go
    // through the handler table.
    var installed = new SampleTransport();
    installed.Serve(Feed, harbor);
    var own = new SampleTransport();
    own.Serve(Feed, harbor);
    Library.SetTransport(installed);
    int fakeCalls = FakeTransport.Calls(null);
    CheckWalk(Walk(new Source(Settings)), "installed C# transport");
    CheckWalk(Walk(new Source(Settings, own)), "C# transport through the table");
    Throws(-6, "", () => new Source(Settings, own).Download(expected[4]), "download through the table");
    Throws(-2, "", () => new Source("{\"URL\":\"https://feeds.example.com/missing.rss\"}", own).Validate(),
           "404 from the C# transport");
    RunThreads(i => i < 2 ? new Source(Settings) : new Source(Settings, own), expected,
               "C# transports, 4 threads");
    Check(installed.Calls > 0 && own.Calls > 0 && FakeTransport.Calls(null) == fakeCalls,
          "each source used its transport: installed " + installed.Calls + ", own " + own.Calls);
    Throws(-2, "", () => new Source(Settings, own, 16).List(Feed + "/nothing"), "table, unknown entry");
    Equal(expected[2], new Source(Settings, own, 16).List(Feed), "table, 16-byte buffer");
    try {
      installed.Dispose();
      Check(false, "an installed transport was disposed");
    } catch (InvalidOperationException) {
      Check(true, "an installed transport stays");
    }

    // A managed exception inside Get is a transport failure, not a crash; so is no response.
    var throwing = new FaultyTransport(url => { throw new IOException("socket closed"); });
    var silent = new FaultyTransport(url => null);
    var refusing = new FaultyTransport(url => new TransportResponse(401, (byte[])null));
    Throws(-4, "IOException: socket closed", () => new Source(Settings, throwing).Validate(), "throwing Get");
    Throws(-4, "gave no response", () => new Source(Settings, silent).List(Feed), "Get without a response");
    Throws(-1, "", () => new Source(Settings, refusing).List(), "401 from the C# transport");
    Library.SetTransport(throwing);
    Throws(-4, "IOException: socket closed", () => new Source(Settings).List(Feed), "installed throwing Get");

    Library.SetTransport(null);
    Equal(expected[2], new Source(Settings).List(Feed), "the fake transport again");
    foreach (var t in new Transport[] { installed, own, throwing, silent, refusing }) t.Dispose();
    Check(Library.Stats.StartsWith("{\"http\":{\"gets\":"), "statistics " + Library.Stats);

    Console.WriteLine(passed + " passed, " + failed + " failed");
    return failed == 0 ? 0 : 1;
  }
}
