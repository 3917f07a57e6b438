-- Orders and their amounts.  Built into sales.sqlite3 on first start.
CREATE TABLE orders (
    id INTEGER PRIMARY KEY,
    customer TEXT NOT NULL,
    ordered_at TEXT NOT NULL,
    amount REAL NOT NULL
);

INSERT INTO orders (id, customer, ordered_at, amount) VALUES
    (1, 'Anna Berg', '2024-01-05', 120.50),
    (2, 'Marie Dubois', '2024-01-12', 75.00),
    (3, 'Liam O''Brien', '2024-01-19', 210.00),
    (4, 'Anna Berg', '2024-02-02', 33.90),
    (5, 'Sofia Rossi', '2024-02-09', 88.00),
    (6, 'Smith; Sons & Co', '2024-02-16', 1450.00),
    (7, 'Eva Novak', '2024-02-23', 64.20),
    (8, 'Paul Meyer', '2024-03-01', 19.99),
    (9, 'Jonas Weber', '2024-03-08', 240.00),
    (10, 'Marie Dubois', '2024-03-15', 56.10),
    (11, 'Anna Berg', '2024-03-22', 99.00),
    (12, 'Liam O''Brien', '2024-03-29', 12.00),
    (13, 'Sofia Rossi', '2024-04-05', 310.40),
    (14, 'Paul Meyer', '2024-04-12', 45.00),
    (15, 'Smith; Sons & Co', '2024-04-19', 980.00),
    (16, 'Eva Novak', '2024-04-26', 71.30),
    (17, 'Jonas Weber', '2024-05-03', 18.75),
    (18, 'Anna Berg', '2024-05-10', 150.00),
    (19, 'Marie Dubois', '2024-05-17', 66.60),
    (20, 'Liam O''Brien', '2024-05-24', 199.00),
    (21, 'Sofia Rossi', '2024-05-31', 27.00),
    (22, 'Paul Meyer', '2024-06-07', 405.00),
    (23, 'Eva Novak', '2024-06-14', 58.80),
    (24, 'Smith; Sons & Co', '2024-06-21', 760.00);
