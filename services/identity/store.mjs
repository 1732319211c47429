// What the development identity service keeps under its data folder, so that a restart keeps
// every session valid: its signing and cookie keys, the local accounts (passwords only as scrypt
// hashes), and the provider's own records (sessions, grants, refresh tokens). Every file is the
// owner's alone (mode 0600) and is replaced through a temporary file and a rename.
import { generateKeyPairSync, randomBytes, scryptSync, timingSafeEqual } from 'node:crypto';
import {
  closeSync, existsSync, fsyncSync, mkdirSync, openSync, readFileSync, renameSync, rmSync, writeFileSync,
} from 'node:fs';
import { join } from 'node:path';

export function readJson(file, fallback) {
  try {
    return JSON.parse(readFileSync(file, 'utf8'));
  } catch {
    return fallback;
  }
}

// The temporary file is made anew ("wx"), so one left by an interrupted write (or a link put in its
// place) never passes its mode or its target on, and it is on disk before it replaces the file.
export function writeJson(file, value) {
  const temporary = `${file}.tmp`;
  rmSync(temporary, { force: true });
  const fd = openSync(temporary, 'wx', 0o600);
  try {
    writeFileSync(fd, `${JSON.stringify(value, null, 1)}\n`);
    fsyncSync(fd);
  } finally {
    closeSync(fd);
  }
  renameSync(temporary, file);
}

// The RS256 signing key (a private JWK) and the cookie keys, made on first use.
export function loadKeys(folder) {
  mkdirSync(folder, { recursive: true, mode: 0o700 });
  const file = join(folder, 'keys.json');
  const stored = readJson(file, undefined);
  if (stored?.signingKey && stored?.cookieKeys) return stored;
  const keys = newKeys();
  writeJson(file, keys);
  return keys;
}

export function newKeys() {
  const { privateKey } = generateKeyPairSync('rsa', { modulusLength: 2048 });
  return {
    signingKey: { ...privateKey.export({ format: 'jwk' }), kid: randomBytes(12).toString('base64url'), alg: 'RS256', use: 'sig' },
    cookieKeys: [randomBytes(32).toString('base64url')],
  };
}

const hashPassword = (password, salt) => scryptSync(password, Buffer.from(salt, 'base64url'), 32).toString('base64url');

// Local accounts: [{ username, email, sub, pm_org_id, salt, hash }].
export function loadUsers(folder) {
  return readJson(join(folder, 'users.json'), []);
}

export function findUser(users, login) {
  return users.find((user) => user.username === login || user.email === login);
}

export function passwordMatches(user, password) {
  const expected = Buffer.from(user.hash, 'base64url');
  const given = Buffer.from(hashPassword(String(password ?? ''), user.salt), 'base64url');
  return expected.length === given.length && timingSafeEqual(expected, given);
}

// Makes the account of `username` unless it exists; returns its password when it was made.
export function createUser(folder, username) {
  mkdirSync(folder, { recursive: true, mode: 0o700 });
  const users = loadUsers(folder);
  if (findUser(users, username)) return undefined;
  const { user, password } = newUser(username);
  users.push(user);
  writeJson(join(folder, 'users.json'), users);
  return password;
}

// A new account's record and its password, which is kept nowhere.
export function newUser(username) {
  const password = randomBytes(12).toString('base64url');
  const salt = randomBytes(16).toString('base64url');
  const user = {
    username,
    email: `${username}@localhost`,
    sub: `local|${username}`,
    pm_org_id: 'org_local',
    salt,
    hash: hashPassword(password, salt),
  };
  return { user, password };
}

// The provider's storage adapter over one JSON file, read once and written on every change.
export function fileAdapter(folder) {
  const file = join(folder, 'provider.json');
  const records = existsSync(file) ? readJson(file, {}) : {};
  const now = () => Math.floor(Date.now() / 1000);
  const save = () => {
    for (const [key, record] of Object.entries(records)) {
      if (record.expiresAt && record.expiresAt < now()) delete records[key];
    }
    writeJson(file, records);
  };
  return class FileAdapter {
    constructor(model) {
      this.model = model;
    }

    key(id) {
      return `${this.model}:${id}`;
    }

    async upsert(id, payload, expiresIn) {
      records[this.key(id)] = { payload, expiresAt: expiresIn ? now() + expiresIn : undefined };
      save();
    }

    async find(id) {
      const record = records[this.key(id)];
      if (!record || (record.expiresAt && record.expiresAt < now())) return undefined;
      return record.payload;
    }

    async findByUid(uid) {
      const found = Object.entries(records).find(([key, r]) => key.startsWith(`${this.model}:`) && r.payload.uid === uid);
      return found ? this.find(found[0].slice(this.model.length + 1)) : undefined;
    }

    async findByUserCode(userCode) {
      const found = Object.entries(records).find(([key, r]) => key.startsWith(`${this.model}:`) && r.payload.userCode === userCode);
      return found ? this.find(found[0].slice(this.model.length + 1)) : undefined;
    }

    async consume(id) {
      const record = records[this.key(id)];
      if (record) {
        record.payload.consumed = now();
        save();
      }
    }

    async destroy(id) {
      delete records[this.key(id)];
      save();
    }

    async revokeByGrantId(grantId) {
      for (const [key, record] of Object.entries(records)) {
        if (record.payload.grantId === grantId) delete records[key];
      }
      save();
    }
  };
}
