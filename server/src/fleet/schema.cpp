// See schema.h: the migration steps and the one move of stored MACs to machine hashes.
#include "fleet/schema.h"
#include "base/files.h"
#include "base/log.h"

#include <chrono>
#include <vector>

namespace dvs::pg {

namespace {

// Each step moves the schema one version on; a step once released is never changed.
const char *const kSteps[] = {
    // 1: reports from every server's outbox; releases with their files stored once each.
    R"SQL(
    CREATE TABLE reports (
        origin    text   NOT NULL,   -- the outbox it came from (a random name made with it)
        local_id  bigint NOT NULL,   -- its row there: a batch sent twice is recognised
        server    text   NOT NULL,
        received  bigint NOT NULL,   -- Unix seconds, UTC
        agent     bigint NOT NULL,
        mac       bytea  NOT NULL,
        peer      text   NOT NULL,
        PRIMARY KEY (origin, local_id));
    CREATE INDEX reports_received ON reports (received);
    CREATE TABLE release_streams (   -- a file's zlib stream, stored once per content
        md5          bytea  NOT NULL CHECK (length(md5) = 16),
        size         bigint NOT NULL CHECK (size BETWEEN 0 AND 4294967295),
        stream_size  bigint NOT NULL,
        chunks       integer NOT NULL,
        PRIMARY KEY (md5, size));
    CREATE TABLE release_chunks (
        md5   bytea   NOT NULL,
        size  bigint  NOT NULL,
        seq   integer NOT NULL,
        data  bytea   NOT NULL,
        PRIMARY KEY (md5, size, seq),
        FOREIGN KEY (md5, size) REFERENCES release_streams ON DELETE CASCADE);
    CREATE TABLE releases (
        number           integer GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
        id               text    NOT NULL,
        manifest_number  bigint  NOT NULL,   -- manifest.toml's number, the one signed; 0: none
        addresses        text[]  NOT NULL,
        signed_manifest  bytea,
        published        timestamptz NOT NULL DEFAULT now(),
        published_from   text    NOT NULL);
    CREATE TABLE release_files (
        release  integer NOT NULL REFERENCES releases ON DELETE CASCADE,
        kind     text    NOT NULL CHECK (kind IN ('launch', 'solo')),
        slot     integer NOT NULL,   -- launch slot, or the solo identifier
        name     text    NOT NULL,
        md5      bytea   NOT NULL,
        size     bigint  NOT NULL,
        PRIMARY KEY (release, kind, slot),
        FOREIGN KEY (md5, size) REFERENCES release_streams);
    CREATE TABLE active_release (
        one        boolean PRIMARY KEY DEFAULT true CHECK (one),
        release    integer NOT NULL REFERENCES releases,
        activated  timestamptz NOT NULL DEFAULT now());
    CREATE TABLE servers (          -- what each server serves, as it last said
        name       text PRIMARY KEY,
        release    integer,
        release_id text,
        state      text NOT NULL,
        seen       timestamptz NOT NULL DEFAULT now());
    )SQL",
    // 2: a keyed hash of the machine instead of its MAC, and no player's address (the
    // MACs are hashed by MoveToMachineHashes between the two halves); the counts of days
    // past the retention; the fingerprint of the fleet's machine key; what each server
    // does, as it last said.
    R"SQL(
    ALTER TABLE reports ADD COLUMN machine bytea;
    )SQL",
    // 3: the counts of every day kept up to date as reports arrive, whichever server (of
    // whichever version) inserts them: the page and the reports command read the counts,
    // never the reports. day_machines holds the machines each day and agent has seen, for
    // as long as the day's reports are kept.
    R"SQL(
    CREATE TABLE day_machines (
        day      text   NOT NULL,   -- YYYY-MM-DD, UTC
        agent    bigint NOT NULL,
        machine  bytea  NOT NULL,
        PRIMARY KEY (day, agent, machine));
    INSERT INTO day_machines
        SELECT DISTINCT to_char(to_timestamp(received) AT TIME ZONE 'UTC', 'YYYY-MM-DD'), agent, machine
        FROM reports;
    INSERT INTO daily_counts (day, agent, reports, machines)
        SELECT to_char(to_timestamp(received) AT TIME ZONE 'UTC', 'YYYY-MM-DD'), agent, count(*),
               count(DISTINCT machine)
        FROM reports GROUP BY 1, 2
        ON CONFLICT (day, agent) DO UPDATE SET reports = daily_counts.reports + EXCLUDED.reports,
            machines = daily_counts.machines + EXCLUDED.machines;
    COMMENT ON TABLE daily_counts IS 'reports and distinct machines of every day and agent';
    CREATE FUNCTION dorera_count_reports() RETURNS trigger LANGUAGE plpgsql AS $count$
    BEGIN
        WITH arrived AS (
            SELECT to_char(to_timestamp(received) AT TIME ZONE 'UTC', 'YYYY-MM-DD') AS day, agent, machine
            FROM added),
        seen AS (
            INSERT INTO day_machines (day, agent, machine)
            SELECT DISTINCT day, agent, machine FROM arrived ORDER BY 1, 2, 3
            ON CONFLICT DO NOTHING RETURNING day, agent),
        counts AS (
            SELECT day, agent, sum(reports) AS reports, sum(machines) AS machines FROM (
                SELECT day, agent, count(*) AS reports, 0 AS machines FROM arrived GROUP BY 1, 2
                UNION ALL
                SELECT day, agent, 0, count(*) FROM seen GROUP BY 1, 2) AS both_counts
            GROUP BY 1, 2)
        INSERT INTO daily_counts (day, agent, reports, machines)
        SELECT day, agent, reports, machines FROM counts ORDER BY day, agent
        ON CONFLICT (day, agent) DO UPDATE SET reports = daily_counts.reports + EXCLUDED.reports,
            machines = daily_counts.machines + EXCLUDED.machines;
        RETURN NULL;
    END
    $count$;
    CREATE TRIGGER reports_counted AFTER INSERT ON reports REFERENCING NEW TABLE AS added
        FOR EACH STATEMENT EXECUTE FUNCTION dorera_count_reports();
    ALTER TABLE servers
        ADD COLUMN sample_checks double precision[],   -- sessions that checked their files,
        ADD COLUMN sample_current double precision[];  -- and of them those that held the release
    )SQL",
};
const char *const kStep2After = R"SQL(
    ALTER TABLE reports ALTER COLUMN machine SET NOT NULL,
        ADD CHECK (length(machine) = 32), DROP COLUMN mac, DROP COLUMN peer;
    CREATE INDEX reports_machine ON reports (machine);
    CREATE TABLE daily_counts (     -- days whose reports the retention deleted
        day       text   NOT NULL,  -- YYYY-MM-DD, UTC
        agent     bigint NOT NULL,
        reports   bigint NOT NULL,
        machines  bigint NOT NULL,  -- distinct machines of that day and agent
        PRIMARY KEY (day, agent));
    CREATE TABLE machine_key (      -- HMAC of a fixed text under the key the servers share
        one          boolean PRIMARY KEY DEFAULT true CHECK (one),
        fingerprint  bytea NOT NULL);
    ALTER TABLE servers
        ADD COLUMN address text,
        ADD COLUMN release_number bigint,      -- the release's own number (manifest.toml)
        ADD COLUMN sessions_per_second double precision,
        ADD COLUMN open_connections bigint,
        ADD COLUMN sample_at bigint[],          -- the last minutes: Unix seconds,
        ADD COLUMN sample_rate double precision[],  -- sessions per second,
        ADD COLUMN sample_open bigint[];        -- open connections
    )SQL";
static_assert(sizeof kSteps / sizeof kSteps[0] == kSchemaVersion);

// The MACs of the reports stored before version 2 become their keyed hashes, in batches
// of distinct addresses.
bool MoveToMachineHashes(Connection &connection, const MachineKey *key, std::string &error)
{
    Result any = connection.Exec("SELECT 1 FROM reports LIMIT 1");
    if (!any.Ok()) {
        error = any.Error();
        return false;
    }
    if (any.Rows() > 0 && !key) {
        error = "the reports hold MAC addresses: a server of this version (it has the machine key) replaces them "
                "with their keyed hashes at its start; start one first";
        return false;
    }
    for (;;) {
        Result macs = connection.Exec("SELECT DISTINCT mac FROM reports WHERE machine IS NULL LIMIT 5000", {}, true);
        if (!macs.Ok()) {
            error = macs.Error();
            return false;
        }
        if (macs.Rows() == 0)
            return true;
        std::vector<std::string> from, to;
        for (int row = 0; row < macs.Rows(); ++row) {
            std::string mac = macs.Text(row, 0);
            MachineHash hash = key->Hash({reinterpret_cast<const uint8_t *>(mac.data()), mac.size()});
            from.push_back(Hex({reinterpret_cast<const uint8_t *>(mac.data()), mac.size()}));
            to.push_back(Hex(hash));
        }
        if (!connection.Run("UPDATE reports SET machine = decode(m.hash, 'hex') "
                            "FROM unnest($1::text[], $2::text[]) AS m(mac, hash) WHERE reports.mac = decode(m.mac, 'hex')",
                            error, {Param::Text(ArrayText(from)), Param::Text(ArrayText(to))}))
            return false;
    }
}

}  // namespace

MachineHash KeyFingerprint(const MachineKey &key)
{
    static const char label[] = "dorera-version-server machine key";
    return key.Hash({reinterpret_cast<const uint8_t *>(label), sizeof label - 1});
}

bool EnsureSchema(Connection &connection, std::string &error, const MachineKey *key)
{
    if (!connection.Run("BEGIN", error))
        return false;
    auto fail = [&](const std::string &what) {
        std::string ignored;
        connection.Run("ROLLBACK", ignored);
        error = what;
        return false;
    };
    // One server at a time; the others then find the schema made.
    if (!connection.Run("SELECT pg_advisory_xact_lock(hashtext('dorera-version-server schema'))", error) ||
        !connection.Run("CREATE TABLE IF NOT EXISTS dorera_schema (version integer NOT NULL)", error))
        return fail(error);
    Result found = connection.Exec("SELECT max(version) FROM dorera_schema");
    if (!found.Ok())
        return fail(found.Error());
    int64_t version = found.Null(0, 0) ? 0 : found.Int(0, 0, 0, 1000000, -1);
    if (version < 0 || version > kSchemaVersion)
        return fail("the database's schema is version " + found.Text(0, 0) + ", this server knows up to " +
                    std::to_string(kSchemaVersion) + ": update the server");
    for (int64_t step = version; step < kSchemaVersion; ++step) {
        auto started = std::chrono::steady_clock::now();
        bool done = connection.Run(kSteps[step], error);
        if (done && step + 1 == 3 && version > 0)
            LogLine("fleet database: the daily counts of the reports kept made in %.1f s (once, for schema 3)",
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        if (done && step + 1 == 2)
            done = MoveToMachineHashes(connection, key, error) && connection.Run(kStep2After, error);
        if (!done)
            return fail("schema step " + std::to_string(step + 1) + ": " + error);
    }
    if (version < kSchemaVersion) {
        std::string number = std::to_string(kSchemaVersion);
        if (!connection.Run("DELETE FROM dorera_schema", error) ||
            !connection.Run("INSERT INTO dorera_schema VALUES ($1::integer)", error, {Param::Text(number)}))
            return fail(error);
    }
    if (!connection.Run("COMMIT", error))
        return false;
    // The rows' versions from before the hashing are rewritten away, not left in the
    // table's pages until a vacuum.
    if (version > 0 && version < 2)
        return connection.Run("VACUUM FULL reports", error);
    return true;
}

}  // namespace dvs::pg
